// The DLL's load and unload entry point. The engine's library-wide data is
// static and constructed by the runtime before this is called, so every
// notification is simply accepted.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
