@echo off
rem kavro-loop.cmd: keeps the link driver running. kavro.exe ends whenever
rem its link ends (exit code 0); this starts it again five seconds later.
rem Started at logon by the installer's "Start at logon" feature, or by a
rem scheduled task (see docs\windows.md).
:again
"%~dp0kavro.exe"
timeout /t 5 /nobreak >nul
goto again
