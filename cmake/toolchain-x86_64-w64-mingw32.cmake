# Cross build of the 64-bit Windows DLLs with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OBKEY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OBKEY_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${OBKEY_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${OBKEY_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${OBKEY_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJCOPY ${OBKEY_MINGW_PREFIX}-objcopy)

# No stack flags: the x64 calling convention has the caller keep the stack
# 16-byte aligned at every call, so the compiler's assumption holds for any
# Windows caller.

set(CMAKE_FIND_ROOT_PATH /usr/${OBKEY_MINGW_PREFIX} ${OBKEY_OPENSSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(OBKEY_OPENSSL_ROOT)
  set(OPENSSL_ROOT_DIR ${OBKEY_OPENSSL_ROOT})
endif()
