@echo off
rem kavro-loop.cmd: keeps the link driver running. kavro.exe ends whenever
rem its link ends (exit code 0), and this starts it again at once: a start
rem that fails as the last one did waits inside kavro.exe (2 s, doubling up
rem to 60 s) and is told once, so the loop needs no pause of its own.
rem It ends when kavro.exe cannot start at all (exit code 1: KAVROD32.dll
rem missing, or kavro.exe running already in this session), when kavro.exe
rem is gone, and when the installer has asked kavro to stop while it
rem replaces the files. Started at logon by the installer's "Start at logon"
rem feature, or by a scheduled task (see docs\windows.md).
:again
if not exist "%~dp0kavro.exe" goto :eof
if exist "%ProgramData%\kavro\stop" goto :eof
"%~dp0kavro.exe"
if errorlevel 1 goto :eof
goto again
