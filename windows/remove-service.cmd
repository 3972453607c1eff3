@echo off
rem Removes the Lumagate client's Windows service and its program; run it as
rem administrator. The data folder (password and log) goes only if asked.
setlocal EnableExtensions DisableDelayedExpansion
set "name=lumagatec"
set "program=%ProgramFiles%\lumagatec"
set "data=%ProgramFiles%\lumagatec\data"
set "earlier_data=%ProgramData%\lumagatec"
set "failed=1"

net session >nul 2>&1
if errorlevel 1 fltmc >nul 2>&1
if errorlevel 1 goto :not_elevated

rem Disabled, the service is not restarted by its recovery settings while it
rem goes; its program is deleted only once its process is gone.
reg query "HKLM\SYSTEM\CurrentControlSet\Services\%name%" /v ImagePath >nul 2>&1
if errorlevel 1 goto :no_service
sc config "%name%" start= disabled >nul
call :stop_service
if errorlevel 1 goto :stop_failed
sc delete "%name%" >nul
if errorlevel 1 goto :delete_failed
reg delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec" /f >nul 2>&1
echo The service "%name%" is removed.
:no_service
if exist "%program%\lumagatec.exe" del /f /q "%program%\lumagatec.exe"
if exist "%program%\lumagatec.exe" goto :program_held
set "failed="

set "answer=n"
if exist "%data%" set /p "answer=Delete "%data%" too, with the password file and the log? [y/N] "
if /i "%answer:~0,1%"=="y" rd /s /q "%data%"
if exist "%data%" echo "%data%" stays.
set "answer=n"
if exist "%earlier_data%\" set /p "answer=Delete "%earlier_data%" of an earlier version too, with its password file? [y/N] "
if /i "%answer:~0,1%"=="y" rd /s /q "%earlier_data%"
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
sc stop "%name%" >nul 2>&1
ping -n 2 127.0.0.1 >nul
goto :stop_wait

:service_state
set "state="
set "pid="
for /f "tokens=1,3" %%a in ('sc queryex "%name%"') do (
  if "%%a"=="STATE" set "state=%%b"
  if "%%a"=="PID" set "pid=%%b"
)
exit /b 0

:not_elevated
echo This must run as administrator: right-click remove-service.cmd and
echo choose "Run as administrator". Nothing was changed.
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
