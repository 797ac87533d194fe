# Cross build of the 32-bit Windows DLLs with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(OBKEY_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${OBKEY_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${OBKEY_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${OBKEY_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${OBKEY_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJCOPY ${OBKEY_MINGW_PREFIX}-objcopy)

# GCC for i686-w64-mingw32 assumes that the stack is 16-byte aligned at every
# function entry, but a Windows x86 caller promises only 4 bytes. Code that
# keeps an SSE value on the stack (the SHA-1 engine that uses the SHA
# instructions, any vector spill) then faults in a real client. With an
# incoming boundary of 4 bytes GCC realigns the stack in exactly the functions
# that need 16. OpenSSL's libcrypto is cross-built with the same flag
# (scripts/build-openssl-mingw.sh), and scripts/check-stack-alignment.sh
# checks the built DLLs for any function that forgot.
set(OBKEY_WIN32_STACK_FLAGS "-mincoming-stack-boundary=2")
set(CMAKE_C_FLAGS_INIT "${OBKEY_WIN32_STACK_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${OBKEY_WIN32_STACK_FLAGS}")

set(CMAKE_FIND_ROOT_PATH /usr/${OBKEY_MINGW_PREFIX} ${OBKEY_OPENSSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(OBKEY_OPENSSL_ROOT)
  set(OPENSSL_ROOT_DIR ${OBKEY_OPENSSL_ROOT})
endif()
