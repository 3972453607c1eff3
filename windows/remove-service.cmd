@echo off
rem Removes the Lumagate client's Windows service and its program; run it as
rem administrator. The data and log folders (password and log) go only if
rem asked.
setlocal EnableExtensions DisableDelayedExpansion
rem Every tool by its full path: cmd looks in the current folder before PATH,
rem where whoever may write could have put an sc.bat that would run elevated.
set "system=%SystemRoot%\System32"
set "name=lumagatec"
rem A 32-bit cmd sees Program Files (x86) as %ProgramFiles%: install and
rem remove agree on the 64-bit one wherever there is one.
set "programs=%ProgramFiles%"
if defined ProgramW6432 set "programs=%ProgramW6432%"
set "program=%programs%\lumagatec"
set "data=%program%\data"
set "logs=%program%\log"
set "earlier_data=%ProgramData%\lumagatec"
set "failed=1"

"%system%\net.exe" session >nul 2>&1
if errorlevel 1 "%system%\fltmc.exe" >nul 2>&1
if errorlevel 1 goto :not_elevated

rem Disabled, the service is not restarted by its recovery settings while it
rem goes; its program is deleted only once its process is gone.
"%system%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\%name%" /v ImagePath >nul 2>&1
if errorlevel 1 goto :no_service
"%system%\sc.exe" config "%name%" start= disabled >nul
if errorlevel 1 goto :disable_failed
call :stop_service
if errorlevel 1 goto :stop_failed
"%system%\sc.exe" delete "%name%" >nul
if errorlevel 1 goto :delete_failed
"%system%\reg.exe" delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec" /f >nul 2>&1
echo The service "%name%" is removed.
:no_service
call :delete_program
if errorlevel 1 goto :program_held
set "failed="

rem The service could write in the log folder, and an earlier version in
rem the data folder: only the files the client and the installer made go,
rem by name, and only where they are plain files; a folder then goes only
rem when it is empty. Nothing is deleted walking a tree, where a link put in
rem meanwhile could steer the delete. A quote in the answer would break the
rem line that reads it.
set "answer=n"
if exist "%data%\" set /p "answer=Delete "%data%" and "%logs%" too, with the password file, the log and the state file? [y/N] "
set "answer=%answer:"=%"
if /i "%answer:~0,1%"=="y" call :remove_folder "%data%" password.txt password.new lumagatec.log
rem A service kept on an adapter names its state file after it; each is
rem checked and deleted by itself, as the others are.
if /i "%answer:~0,1%"=="y" for /f "delims=" %%f in ('dir /b "%logs%\lumagatec-*.state*" 2^>nul') do call :remove_folder "%logs%" "%%f"
if /i "%answer:~0,1%"=="y" call :remove_folder "%logs%" lumagatec.log lumagatec.state lumagatec.state.new
if exist "%data%" call :tell_stays "%data%"
if exist "%logs%" call :tell_stays "%logs%"
if exist "%earlier_data%\" call :tell_earlier_data
rd "%program%" 2>nul
if exist "%program%" (echo "%program%" stays.) else echo "%program%" is removed.
goto :end

rem Waits up to a minute until the service has stopped and its process is
rem gone: sc queryex shows STATE 1 (STOPPED) and PID 0. One that is starting
rem takes no stop until it runs, so it is asked again.
:stop_service
set "tries=0"
:stop_wait
call :service_state
if "%state%"=="1" if "%pid%"=="0" exit /b 0
set /a tries+=1
if %tries% gtr 60 exit /b 1
"%system%\sc.exe" stop "%name%" >nul 2>&1
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :stop_wait

:service_state
set "state="
set "pid="
for /f "tokens=1,3" %%a in ('""%system%\sc.exe" queryex "%name%""') do (
  if "%%a"=="STATE" set "state=%%b"
  if "%%a"=="PID" set "pid=%%b"
)
exit /b 0

rem The program may be held a moment after its process has gone.
:delete_program
set "tries=0"
:delete_again
if exist "%program%\lumagatec.exe" del /f /q "%program%\lumagatec.exe" 2>nul
if not exist "%program%\lumagatec.exe" exit /b 0
set /a tries+=1
if %tries% geq 10 exit /b 1
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :delete_again

rem Deletes the plain files named after the folder %1 in it, then the folder
rem if that left it empty.
:remove_folder
set "folder=%~1"
:remove_folder_file
shift
if "%~1"=="" goto :remove_folder_itself
call :plain_file "%folder%\%~1"
if not errorlevel 1 del /f /q "%folder%\%~1" 2>nul
goto :remove_folder_file
:remove_folder_itself
rd "%folder%" 2>nul
exit /b 0

rem Whether the path %1 is a file and no folder or link: del on a folder, or
rem on a link to one, deletes the files inside.
:plain_file
set "attributes=%~a1"
if not defined attributes exit /b 1
if "%attributes:~0,1%"=="d" exit /b 1
if "%attributes:~8,1%"=="l" exit /b 1
exit /b 0

:tell_stays
echo "%~1" stays: it holds more than the client made. See what is in it with
echo     dir /a /q /s "%~1"
echo and delete what you want gone by hand.
exit /b 0

rem An earlier version kept the password in ProgramData, where any user may
rem have made the folder and own it: a delete walking it could be steered
rem into other folders through a link swapped in meanwhile. Nothing is
rem deleted there: the administrator is told.
:tell_earlier_data
echo.
echo Warning: "%earlier_data%" is left from an earlier version and may hold
echo its password. It was not removed: another user may own it, and a delete
echo there could be steered into other folders. See who owns what is in it:
echo     dir /a /q /s "%earlier_data%"
echo     icacls "%earlier_data%" /t
echo If nobody but Administrators and SYSTEM owns or may change anything there,
echo remove it with
echo     rd /s /q "%earlier_data%"
echo and change the password if anyone else could read it.
exit /b 0

:not_elevated
echo This must run as administrator: right-click remove-service.cmd and
echo choose "Run as administrator". Nothing was changed.
goto :end

:disable_failed
echo The service "%name%" could not be disabled (sc config), so it was not
echo stopped. Nothing was changed.
goto :end

:stop_failed
echo The service "%name%" did not stop within a minute; it is disabled, and
echo nothing else was changed. Run remove-service.cmd again.
goto :end

:delete_failed
echo The service "%name%" is stopped and disabled, but could not be removed (sc delete).
goto :end

:program_held
echo "%program%\lumagatec.exe" is still in use and stays: run remove-service.cmd again.

:end
echo.
pause
if defined failed exit /b 1
exit /b 0
