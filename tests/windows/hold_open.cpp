// Holds a file open as another program may: to read, letting others read
// and write it but not delete or replace it, until killed or for a minute.
// Makes the file READY once it holds it.
//   hold_open.exe FILE READY
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE h =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  (void)CloseHandle(ready);
  Sleep(60000);
  (void)CloseHandle(h);
  return 0;
}
