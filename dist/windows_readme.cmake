# README-windows.txt of the Windows zip, made from one template for the
# 32-bit and the 64-bit tree: only what differs between them is chosen here.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(OBKEY_README_BITS 64)
  set(OBKEY_README_MINGW x86_64-w64-mingw32)
  set(OBKEY_README_PROMPT x64)
  set(OBKEY_README_DLL
"This obkey.dll is a 64-bit (x64) DLL: only 64-bit programs can load it;
32-bit programs use the 32-bit zip, whose DLL has the same 45 functions. Every
function returns a 32-bit status, 0 for success; include/obkey.h, the same
header as for 32-bit programs, documents each one, the inputs it refuses and
the size queries it answers, and in its opening notes what is 64 bits wide.")
  set(OBKEY_README_SAME_WIDTH " They must all be 64-bit: a token
vendor's 32-bit libraries cannot be loaded by this obkey.dll.")
  set(OBKEY_README_DECORATION "On x64 no name carries a decoration: the import libraries
name the DLL's exports as they are (OBCA_Login).")
  set(OBKEY_README_LOADING
"The DLL exports the names of the 32-bit DLL (\"OBCA_Login\",
\"OB_AsymmetricSignData\", ...). x64 has one calling convention (__stdcall is
accepted and ignored); declare each pointer with exactly the declared
argument types, pointers as pointers:

  typedef int32_t (*LoginFn)(uint32_t user_type, const char *pin);
  HMODULE obkey = LoadLibraryA(\"obkey.dll\");
  LoginFn login = (LoginFn)GetProcAddress(obkey, \"OBCA_Login\");
  int32_t status = login ? login(1, \"12345678\") : -1;

A pointer argument declared as a 32-bit integer loses its upper half.")
  set(OBKEY_README_VIEW "A 64-bit
program reads the 64-bit view of the registry (hence /reg:64 above), while a
32-bit one on the same machine reads HKLM\\SOFTWARE\\WOW6432Node: where both
kinds of program use obkey, set the value in both views.")
  set(OBKEY_README_LOG_NOTE " The entries of
OB_AsymmetricEncrypt and OB_AsymmetricDecrypt hold the input buffer's address
in \"PartIn=[...]\"; the 64-bit DLL writes its low 32 bits there, as a signed
decimal, so the lines keep the layout of the 32-bit DLL's.")
else()
  set(OBKEY_README_BITS 32)
  set(OBKEY_README_MINGW i686-w64-mingw32)
  set(OBKEY_README_PROMPT x86)
  set(OBKEY_README_DLL
"obkey.dll is a 32-bit DLL: only 32-bit programs can load it (64-bit programs
use the win64 zip, whose DLL has the same 45 functions). Every function is
__stdcall and returns a 32-bit status, 0 for success; include/obkey.h
documents each one, the inputs it refuses and the size queries it answers.")
  set(OBKEY_README_SAME_WIDTH "")
  set(OBKEY_README_DECORATION "The import libraries map the decorated names the compiler
uses (_OBCA_Login@8) to the DLL's undecorated exports.")
  set(OBKEY_README_LOADING
"The DLL exports the undecorated names (\"OBCA_Login\", \"OB_AsymmetricSignData\",
...). Declare each pointer __stdcall with exactly the declared arguments:

  typedef int32_t (__stdcall *LoginFn)(uint32_t user_type, const char *pin);
  HMODULE obkey = LoadLibraryA(\"obkey.dll\");
  LoginFn login = (LoginFn)GetProcAddress(obkey, \"OBCA_Login\");
  int32_t status = login ? login(1, \"12345678\") : -1;

A pointer with the wrong convention or argument count corrupts the caller's
stack on return.")
  set(OBKEY_README_VIEW "On 64-bit
Windows a 32-bit program sees this key under HKLM\\SOFTWARE\\WOW6432Node
(hence /reg:32 above).")
  set(OBKEY_README_LOG_NOTE "")
endif()
set(OBKEY_README_TITLE "obkey for Windows (${OBKEY_README_BITS}-bit)")
string(LENGTH "${OBKEY_README_TITLE}" title_length)
string(REPEAT "=" ${title_length} OBKEY_README_RULE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in ${CMAKE_BINARY_DIR}/README-windows.txt
               @ONLY)
