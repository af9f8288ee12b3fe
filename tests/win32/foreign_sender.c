/* What other programs on the desktop can do to kavro.exe.
 *
 * "create" sends the control window WM_NCCREATE and WM_CREATE with a
 * creation record whose parameter is null, then with one whose parameter
 * points nowhere; "destroy" sends WM_DESTROY: messages only the window
 * system itself should send. Exit 3 when there is no window.
 *
 * "hang-status" asks for the status twice, from a second thread, naming a
 * window of this program whose WM_COPYDATA never returns; prints "asked A B"
 * (the two answers) and then serves its window for good.
 *
 * "hold-mutex" takes and holds kavro.exe's link lock, prints "held", and
 * ends without letting it go (the lock is then abandoned) once its standard
 * input ends. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define KAVRO_MSG_STATUS 0x804Bu

static HWND kavro;
static HWND reply;

static LRESULT CALLBACK NeverReturns(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA) Sleep(INFINITE);
  return DefWindowProcA(window, message, wParam, lParam);
}

static DWORD WINAPI AskTwice(LPVOID unused) {
  DWORD_PTR first = 0, second = 0;
  LRESULT sentFirst, sentSecond;
  (void)unused;
  /* The window's own thread is busy serving it: the answer reaches it
   * there, and hangs it. */
  sentFirst = SendMessageTimeoutA(kavro, KAVRO_MSG_STATUS, (WPARAM)reply, 0, SMTO_NORMAL, 10000, &first);
  sentSecond = SendMessageTimeoutA(kavro, KAVRO_MSG_STATUS, (WPARAM)reply, 0, SMTO_NORMAL, 10000, &second);
  if (sentFirst == 0 || sentSecond == 0) printf("not sent: error %lu\n", GetLastError());
  printf("asked %d %d\n", (int)first, (int)second);
  fflush(stdout);
  return 0;
}

static int HangStatus(void) {
  WNDCLASSA windowClass;
  MSG message;
  memset(&windowClass, 0, sizeof windowClass);
  windowClass.lpfnWndProc = NeverReturns;
  windowClass.hInstance = GetModuleHandleA(NULL);
  windowClass.lpszClassName = "KavroTestNeverReturns";
  RegisterClassA(&windowClass);
  reply = CreateWindowExA(0, windowClass.lpszClassName, NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                          GetModuleHandleA(NULL), NULL);
  if (reply == NULL) return 4;
  CloseHandle(CreateThread(NULL, 0, AskTwice, NULL, 0, NULL));
  while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "hold-mutex") == 0) {
    char line[16];
    HANDLE mutex = CreateMutexA(NULL, TRUE, "Global\\KavroControlProg");
    if (mutex == NULL || GetLastError() == ERROR_ALREADY_EXISTS) return 4;
    printf("held\n");
    fflush(stdout);
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
    return 0;
  }
  kavro = FindWindowA("KavroControlProg", NULL);
  if (kavro == NULL) return 3;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "create") == 0) {
      CREATESTRUCTA record;
      memset(&record, 0, sizeof record);
      for (int round = 0; round < 2; ++round) {
        record.lpCreateParams = round == 0 ? NULL : (LPVOID)(INT_PTR)0x5A5A5A50;
        SendMessageA(kavro, WM_NCCREATE, 0, (LPARAM)&record);
        SendMessageA(kavro, WM_CREATE, 0, (LPARAM)&record);
      }
    } else if (strcmp(argv[i], "destroy") == 0) {
      SendMessageA(kavro, WM_DESTROY, 0, 0);
    } else if (strcmp(argv[i], "hang-status") == 0) {
      return HangStatus();
    } else {
      return 2;
    }
  }
  return 0;
}
