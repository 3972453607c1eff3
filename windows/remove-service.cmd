@echo off
rem Removes the Lumagate client's Windows service and its program; run it as
rem administrator. The data folder (password and log) goes only if asked.
setlocal EnableExtensions DisableDelayedExpansion
set "name=lumagatec"
set "program=%ProgramFiles%\lumagatec"
set "data=%ProgramData%\lumagatec"
set "failed=1"

net session >nul 2>&1
if errorlevel 1 fltmc >nul 2>&1
if errorlevel 1 goto :not_elevated

net stop "%name%" >nul 2>&1
sc delete "%name%" >nul
if errorlevel 1 goto :delete_failed
reg delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec" /f >nul 2>&1
if exist "%program%" rd /s /q "%program%"
echo The service "%name%" and %program% are removed.
set "failed="

if not exist "%data%" goto :end
set "answer=n"
set /p "answer=Delete %data% too, with the password file and the log? [y/N] "
if /i not "%answer:~0,1%"=="y" goto :end
rd /s /q "%data%"
if not exist "%data%" echo %data% is removed.
goto :end

:not_elevated
echo This must run as administrator: right-click remove-service.cmd and
echo choose "Run as administrator". Nothing was changed.
goto :end

:delete_failed
echo The service could not be removed (sc delete): is it installed?

:end
echo.
pause
if defined failed exit /b 1
exit /b 0
