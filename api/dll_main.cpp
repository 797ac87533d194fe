// The DLL entry point has nothing to do: the library's only start-up work is
// the construction of its static state, which the runtime does before this.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
