@echo off
rem Installs the Lumagate client as a Windows service; run it as administrator.
rem The program goes to %ProgramFiles%\lumagatec, its password and its log to
rem the folder data in it, and the service runs as NT SERVICE\lumagatec.
rem   install-service.cmd                    asks for the server and the password
rem   install-service.cmd SERVER FILE        takes them: the server ("" to look
rem                                          for it) and a password file to copy
setlocal EnableExtensions DisableDelayedExpansion
set "name=lumagatec"
set "account=NT SERVICE\lumagatec"
rem Its SID, which follows from the name alone (sc showsid lumagatec), so that
rem access is granted before the service exists.
set "service_sid=*S-1-5-80-4002125590-3708185913-3141132836-572799315-3571875206"
set "program=%ProgramFiles%\lumagatec"
rem Under Program Files no standard user can create anything, so nobody can
rem make the folder first and own it. (In ProgramData anyone can.)
set "data=%ProgramFiles%\lumagatec\data"
set "earlier_data=%ProgramData%\lumagatec"
set "events=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec"
set "failed=1"
set "left=The service was not changed."

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
if not defined server goto :make_data
rem A quote in typed text would end the quotes that keep it text: compared
rem only once expanded, the text cannot break the line.
set "unquoted=%server:"=%"
setlocal EnableDelayedExpansion
if not "!unquoted!"=="!server!" (endlocal & goto :bad_server)
endlocal
if not "%server%"=="%server: =%" goto :bad_server
set "switches= -s %server%%switches%"

:make_data
rem The folder is the administrators', the system's and the service's alone
rem (the service writes its log there), whoever made it: its owner set and
rem every entry replaced, inherited or not, before the password goes in. A
rem link there would send both to its target: it is removed first.
if not exist "%program%" mkdir "%program%"
call :remove_if_link "%program%"
if errorlevel 1 goto :link_failed
call :remove_if_link "%data%"
if errorlevel 1 goto :link_failed
if not exist "%data%" mkdir "%data%"
icacls "%data%" /setowner *S-1-5-32-544 /l >nul
if errorlevel 1 goto :icacls_failed
icacls "%data%" /reset /l >nul
if errorlevel 1 goto :icacls_failed
icacls "%data%" /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-18:(OI)(CI)F" "%service_sid%:(OI)(CI)M" /l >nul
if errorlevel 1 goto :icacls_failed

rem A new file, never an old one written over: that would keep its owner,
rem and any other name it has.
if exist "%data%\password.new" del /f /q "%data%\password.new"
if exist "%data%\password.new" goto :password_failed
call :take_password
if errorlevel 1 goto :password_failed
rem Enter alone, or a file whose first line is empty, gives the empty
rem password, which no Key-server lets in.
set "first="
set /p "first=" < "%data%\password.new"
if not defined first goto :empty_password
set "first="
icacls "%data%\password.new" /setowner *S-1-5-32-544 /l >nul
if errorlevel 1 goto :icacls_failed
icacls "%data%\password.new" /inheritance:r /grant:r "*S-1-5-32-544:F" "*S-1-5-18:F" "%service_sid%:R" /l >nul
if errorlevel 1 goto :icacls_failed

rem A service that is there already is stopped, and its process gone, before
rem its program is replaced. Disabled meanwhile, it is not restarted by its
rem recovery settings while the new program is put in place.
set "verb=create"
reg query "HKLM\SYSTEM\CurrentControlSet\Services\%name%" /v ImagePath >nul 2>&1
if errorlevel 1 goto :copy
set "verb=config"
sc config "%name%" start= disabled >nul
set "left=The service %name% is disabled: run install-service.cmd again."
call :stop_service
if errorlevel 1 goto :stop_failed
set "left=The service %name% is stopped and disabled: run install-service.cmd again."

:copy
echo.
echo Copying lumagatec.exe to "%program%"
call :copy_program
if errorlevel 1 goto :copy_failed
if exist "%data%\password.txt" del /f /q "%data%\password.txt"
if exist "%data%\password.txt" goto :password_failed
move "%data%\password.new" "%data%\password.txt" >nul
if errorlevel 1 goto :password_failed

rem Windows 7 and 8 create no delayed start; every Windows configures one.
sc %verb% "%name%" binPath= "\"%program%\lumagatec.exe\"%switches%" start= auto obj= "%account%" DisplayName= "Lumagate client" >nul
if errorlevel 1 goto :sc_failed
set "left=The service %name% is set up but not started."
sc config "%name%" start= delayed-auto >nul 2>&1
if errorlevel 1 echo Warning: sc config could not delay the start; it starts with Windows.
sc description "%name%" "Keeps this machine's network access open: logs on to the Key-server and answers its challenges." >nul
rem Restarted a minute after every end that is not a stop: the client ends
rem with an error without telling the service stopped, which Windows counts
rem as a failure at once, not only from its next start on.
sc failure "%name%" reset= 86400 actions= restart/60000/restart/60000/restart/60000 >nul 2>&1
if errorlevel 1 echo Warning: sc failure could not set the restarts after a failure.
sc sidtype "%name%" unrestricted >nul 2>&1
if errorlevel 1 echo Warning: sc sidtype could not set the service's SID type.

rem Event Viewer finds the texts of the client's entries in its program.
reg add "%events%" /v EventMessageFile /t REG_SZ /d "%program%\lumagatec.exe" /f >nul
if not errorlevel 1 reg add "%events%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 echo Warning: the event source could not be registered: Event Viewer shows the client's entries without their texts.

rem An earlier version kept the password in ProgramData, where another user
rem may own the folder; nothing there is used any more.
if exist "%earlier_data%\" rd /s /q "%earlier_data%"
if exist "%earlier_data%\" echo Warning: "%earlier_data%" of an earlier version could not be removed; it may hold the old password. Remove it.

echo.
net start "%name%"
if errorlevel 1 goto :start_failed
echo The Lumagate client runs as the service "%name%". "sc query %name%" and the
echo Services console show its state, Event Viewer its turns (Windows Logs,
echo Application, source lumagatec), and "%data%\lumagatec.log" its messages.
set "failed="
goto :end

rem Removes a link (symbolic link or junction) that stands at the path %1;
rem rd removes the link itself, never what it points to. Fails when one
rem stays.
:remove_if_link
if not exist "%~1" exit /b 0
set "attributes=%~a1"
if not "%attributes:~8,1%"=="l" exit /b 0
rd "%~1" 2>nul || del /f /q "%~1"
if exist "%~1" exit /b 1
exit /b 0

rem The password goes into password.new, typed unseen or copied from a file:
rem never onto a command line, which would keep it in a history.
:take_password
if defined source goto :copy_password
echo.
echo The password: type it (nothing shows), or name a file whose first line is
echo the password. The file is copied; delete it afterwards.
set /p "source=File (Enter: type the password): "
if not defined source goto :type_password
:copy_password
rem Explorer's "Copy as path" puts the path in quotes; a path holds none.
set "source=%source:"=%"
copy "%source%" "%data%\password.new" >nul
if not errorlevel 1 exit /b 0
echo "%source%" could not be copied.
exit /b 1

:type_password
set "LUMAGATE_PASSWORD_FILE=%data%\password.new"
powershell -NoProfile -ExecutionPolicy Bypass -Command "$s = Read-Host 'Password' -AsSecureString; $b = [Runtime.InteropServices.Marshal]::SecureStringToBSTR($s); try { [IO.File]::WriteAllText($env:LUMAGATE_PASSWORD_FILE, [Runtime.InteropServices.Marshal]::PtrToStringBSTR($b)) } finally { [Runtime.InteropServices.Marshal]::ZeroFreeBSTR($b) }"
if not errorlevel 1 exit /b 0
echo The password could not be taken (PowerShell): name a file instead.
exit /b 1

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

rem The old program may be held a moment after its process has gone.
:copy_program
set "tries=0"
:copy_again
copy /y "%~dp0lumagatec.exe" "%program%\lumagatec.exe" >nul 2>&1
if not errorlevel 1 exit /b 0
set /a tries+=1
if %tries% geq 10 exit /b 1
ping -n 2 127.0.0.1 >nul
goto :copy_again

:not_elevated
echo This must run as administrator: right-click install-service.cmd and
echo choose "Run as administrator". Nothing was changed.
goto :end

:bad_server
echo A server address holds no blanks and no quotes. Nothing was changed.
goto :end

:link_failed
echo A link stands where "%data%" belongs and could not be removed. %left%
goto :end

:empty_password
set "first="
del /f /q "%data%\password.new"
echo The password is empty: its first line holds nothing. %left%
goto :end

:password_failed
if exist "%data%\password.new" del /f /q "%data%\password.new"
echo The password file could not be written. %left%
goto :end

:stop_failed
echo The service did not stop within a minute. %left%
goto :end

:copy_failed
echo lumagatec.exe could not be copied to "%program%". %left%
goto :end

:sc_failed
echo The service could not be set up (sc %verb% failed). %left%
goto :end

:icacls_failed
if exist "%data%\password.new" del /f /q "%data%\password.new"
echo The access rules of "%data%" could not be set (icacls). %left%
goto :end

:start_failed
echo The service "%name%" is set up but did not start: see
echo "%data%\lumagatec.log" and Event Viewer (Windows Logs, Application).

:end
echo.
pause
if defined failed exit /b 1
exit /b 0
