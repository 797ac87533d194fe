# Cross build of the Windows DLLs with MinGW-w64:
#   -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake -DOBKEY_WIN_ARCH=i686|x86_64
# i686 (the 32-bit product) unless OBKEY_WIN_ARCH says otherwise.
if(NOT OBKEY_WIN_ARCH)
  set(OBKEY_WIN_ARCH i686)
endif()
if(NOT OBKEY_WIN_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "OBKEY_WIN_ARCH is ${OBKEY_WIN_ARCH}: i686 or x86_64")
endif()
# The compiler checks configure small projects with this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OBKEY_WIN_ARCH OBKEY_OPENSSL_ROOT)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${OBKEY_WIN_ARCH})

set(OBKEY_MINGW_PREFIX ${OBKEY_WIN_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${OBKEY_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${OBKEY_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${OBKEY_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${OBKEY_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJCOPY ${OBKEY_MINGW_PREFIX}-objcopy)

if(OBKEY_WIN_ARCH STREQUAL "i686")
  # GCC for i686-w64-mingw32 assumes that the stack is 16-byte aligned at
  # every function entry, but a Windows x86 caller promises only 4 bytes. Code
  # that keeps an SSE value on the stack (the SHA-1 engine that uses the SHA
  # instructions, any vector spill) then faults in a real client. With an
  # incoming boundary of 4 bytes GCC realigns the stack in exactly the
  # functions that need 16. OpenSSL's libcrypto is cross-built with the same
  # flag (scripts/build-openssl-mingw.sh), and scripts/check-stack-alignment.sh
  # checks the built DLLs for any function that forgot.
  set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
  set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")
endif()
# x86_64 needs no stack flags: the x64 calling convention has the caller keep
# the stack 16-byte aligned at every call, as the compiler assumes.

set(CMAKE_FIND_ROOT_PATH /usr/${OBKEY_MINGW_PREFIX} ${OBKEY_OPENSSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(OBKEY_OPENSSL_ROOT)
  set(OPENSSL_ROOT_DIR ${OBKEY_OPENSSL_ROOT})
endif()
