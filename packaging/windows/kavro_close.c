/* kavro-close.exe: run by the installer before it replaces or removes
 * kavro's files. A running kavro.exe is asked to close as `kavroctl close`
 * asks it (WM_CLOSE: DISC to the PBX, event 0 to the clients), never ended
 * by force, and waited for, as is every other kavro.exe that watches
 * kavro's stop event (one of another session, or one waiting to take the
 * link over). kavro-loop.cmd is told not to start kavro.exe again.
 *
 * Argument: how many seconds to wait at most (default 30). Exit code 0
 * always: the installer goes on either way, and a file still in use is
 * replaced at the next restart as usual. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <tlhelp32.h>

#define MAX_WAITED 64

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  DWORD seconds = commandLine != NULL && *commandLine != '\0' ? (DWORD)strtoul(commandLine, NULL, 10) : 30;
  HANDLE waited[MAX_WAITED];
  DWORD count = 0;
  char directory[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("ProgramData", directory, sizeof directory);
  (void)instance;
  (void)previous;
  (void)show;

  /* kavro-loop.cmd ends instead of starting kavro.exe again; the installer
   * removes the flag once its files are in place. */
  if (n > 0 && n + 16 < sizeof directory) {
    HANDLE flag;
    strcat(directory, "\\kavro");
    CreateDirectoryA(directory, NULL);
    strcat(directory, "\\stop");
    flag = CreateFileA(directory, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
  }

  /* Every kavro.exe of every session that watches the event. */
  {
    HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\KavroStop");
    if (stop != NULL) {
      SetEvent(stop);
      CloseHandle(stop);
    }
  }
  /* The one on this desktop, also when it is older than the event. */
  {
    HWND window = FindWindowA("KavroControlProg", NULL);
    DWORD_PTR ignored = 0;
    if (window != NULL) SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
  }

  /* Waited for, whichever way they were asked: every process named
   * kavro.exe. */
  {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (snapshot != INVALID_HANDLE_VALUE && Process32First(snapshot, &entry)) {
      do {
        if (_stricmp(entry.szExeFile, "kavro.exe") == 0 && count < MAX_WAITED) {
          HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
          if (process != NULL) waited[count++] = process;
        }
      } while (Process32Next(snapshot, &entry));
    }
    if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
  }
  if (count > 0) WaitForMultipleObjects(count, waited, TRUE, seconds * 1000);
  while (count > 0) CloseHandle(waited[--count]);
  return 0;
}
