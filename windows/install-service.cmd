@echo off
rem Installs the Lumagate client as a Windows service; run it as administrator.
rem The program goes to %ProgramFiles%\lumagatec, its password and its log to
rem %ProgramData%\lumagatec, and the service runs as NT SERVICE\lumagatec.
rem   install-service.cmd                    asks for the server and the password
rem   install-service.cmd SERVER FILE        takes them: the server ("" to look
rem                                          for it) and a password file to copy
setlocal EnableExtensions DisableDelayedExpansion
set "name=lumagatec"
set "account=NT SERVICE\lumagatec"
set "program=%ProgramFiles%\lumagatec"
set "data=%ProgramData%\lumagatec"
set "events=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec"
set "failed=1"

rem Only an elevated administrator may create a service. (net session needs
rem the Server service, which some machines turn off; fltmc does not.) Each
rem result is asked on a line of its own, as every cmd understands that.
net session >nul 2>&1
if errorlevel 1 fltmc >nul 2>&1
if errorlevel 1 goto :not_elevated

echo Installing the Lumagate client as the Windows service "%name%".
echo.
echo The Key-server's address, such as keyserver.example.org. Without one, the
echo client looks for the server at the gateways of this machine's networks.
set "server=%~1"
set "source=%~2"
if not defined source set /p "server=Key-server (Enter: look for it): "
set "switches= -f \"%data%\password.txt\" -l \"%data%\lumagatec.log\""
if not defined server goto :copy
if not "%server%"=="%server: =%" goto :bad_server
set "switches= -s %server%%switches%"

:copy
rem A service that is there already stops, so that its program can be replaced.
set "verb=create"
sc query "%name%" >nul 2>&1
if not errorlevel 1 set "verb=config"
if "%verb%"=="config" net stop "%name%" >nul 2>&1
echo.
echo Copying lumagatec.exe to %program%
if not exist "%program%" mkdir "%program%"
copy /y "%~dp0lumagatec.exe" "%program%\lumagatec.exe" >nul
if errorlevel 1 goto :copy_failed

sc %verb% "%name%" binPath= "\"%program%\lumagatec.exe\"%switches%" start= delayed-auto obj= "%account%" DisplayName= "Lumagate client" >nul
if errorlevel 1 goto :sc_failed
sc description "%name%" "Keeps this machine's network access open: logs on to the Key-server and answers its challenges." >nul
rem Restarted a minute after every end that is not a stop: a server away at
rem start-up, or an error, ends the client with a code of its own.
sc failure "%name%" reset= 86400 actions= restart/60000/restart/60000/restart/60000 >nul 2>&1
if errorlevel 1 echo Warning: sc failure could not set the restarts after a failure.
sc failureflag "%name%" 1 >nul 2>&1
if errorlevel 1 echo Warning: sc failureflag failed, so an end with an error code is no failure.
sc sidtype "%name%" unrestricted >nul 2>&1
if errorlevel 1 echo Warning: sc sidtype could not set the service's SID type.

rem Event Viewer finds the texts of the client's entries in its program.
reg add "%events%" /v EventMessageFile /t REG_SZ /d "%program%\lumagatec.exe" /f >nul
reg add "%events%" /v TypesSupported /t REG_DWORD /d 7 /f >nul

rem The data folder is the administrators', the system's and the service's
rem alone; the service may write its log there.
if not exist "%data%" mkdir "%data%"
icacls "%data%" /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-18:(OI)(CI)F" "%account%:(OI)(CI)M" >nul
if errorlevel 1 goto :icacls_failed

call :take_password
if not exist "%data%\password.txt" goto :end
icacls "%data%\password.txt" /inheritance:r /grant:r "*S-1-5-32-544:F" "*S-1-5-18:F" "%account%:R" >nul
if errorlevel 1 goto :icacls_failed

echo.
net start "%name%"
if errorlevel 1 goto :start_failed
echo The Lumagate client runs as the service "%name%". "sc query %name%" and the
echo Services console show its state, Event Viewer its turns (Windows Logs,
echo Application, source lumagatec), and %data%\lumagatec.log its messages.
set "failed="
goto :end

rem The password goes into password.txt, typed unseen or copied from a file:
rem never onto a command line, which would keep it in a history.
:take_password
if defined source goto :copy_password
set "keep=y"
if exist "%data%\password.txt" set /p "keep=%data%\password.txt is there already. Keep it? [Y/n] "
if exist "%data%\password.txt" if /i not "%keep:~0,1%"=="n" exit /b 0
echo.
echo The password: type it (nothing shows), or name a file whose first line is
echo the password. The file is copied; delete it afterwards.
set /p "source=File (Enter: type the password): "
if not defined source goto :type_password
:copy_password
set "source=%source:"=%"
copy /y "%source%" "%data%\password.txt" >nul
if not errorlevel 1 exit /b 0
echo %source% could not be copied.
exit /b 1

:type_password
set "LUMAGATE_PASSWORD_FILE=%data%\password.txt"
powershell -NoProfile -ExecutionPolicy Bypass -Command "$s = Read-Host 'Password' -AsSecureString; $b = [Runtime.InteropServices.Marshal]::SecureStringToBSTR($s); try { [IO.File]::WriteAllText($env:LUMAGATE_PASSWORD_FILE, [Runtime.InteropServices.Marshal]::PtrToStringBSTR($b)) } finally { [Runtime.InteropServices.Marshal]::ZeroFreeBSTR($b) }"
if not errorlevel 1 exit /b 0
echo The password could not be taken (PowerShell): name a file instead.
exit /b 1

:not_elevated
echo This must run as administrator: right-click install-service.cmd and
echo choose "Run as administrator". Nothing was changed.
goto :end

:bad_server
echo A server address holds no blanks. Nothing was changed.
goto :end

:copy_failed
echo lumagatec.exe could not be copied. Nothing else was changed.
goto :end

:sc_failed
echo The service could not be set up (sc %verb% failed).
goto :end

:icacls_failed
echo The access rules of %data% could not be set (icacls).
goto :end

:start_failed
echo The service did not start: see %data%\lumagatec.log and Event Viewer
echo (Windows Logs, Application).

:end
echo.
pause
if defined failed exit /b 1
exit /b 0
