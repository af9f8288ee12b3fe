/* Sends kavro.exe's control window the messages any program on the desktop
 * can send it but only the window system itself should: "create" sends
 * WM_NCCREATE and WM_CREATE with a creation record whose parameter is null,
 * then with one whose parameter points nowhere; "destroy" sends WM_DESTROY.
 * Exit 3 when there is no window. */
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  HWND window = FindWindowA("KavroControlProg", NULL);
  if (window == NULL) return 3;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "create") == 0) {
      CREATESTRUCTA record;
      memset(&record, 0, sizeof record);
      for (int round = 0; round < 2; ++round) {
        record.lpCreateParams = round == 0 ? NULL : (LPVOID)(INT_PTR)0x5A5A5A50;
        SendMessageA(window, WM_NCCREATE, 0, (LPARAM)&record);
        SendMessageA(window, WM_CREATE, 0, (LPARAM)&record);
      }
    } else if (strcmp(argv[i], "destroy") == 0) {
      SendMessageA(window, WM_DESTROY, 0, 0);
    } else {
      return 2;
    }
  }
  return 0;
}
