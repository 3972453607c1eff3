@echo off
rem Installs the Lumagate client as a Windows service; run it as administrator.
rem The program goes to %ProgramFiles%\lumagatec, its password to the folder
rem data in it, its log to the folder log, and the service runs as
rem NT SERVICE\lumagatec.
rem   install-service.cmd                    asks for the server, the password,
rem                                          the hours and the program
rem   install-service.cmd SERVER FILE [HOURS [PROGRAM [INTERFACE]]]
rem                                          takes them, and waits for no key at
rem                                          the end: the server ("" to look for
rem                                          it), a password file to copy, and
rem                                          optionally the daily hours to run in
rem                                          ("" for any time), a program to
rem                                          run on every change of access ("" for
rem                                          none) and the network adapter to keep
rem                                          the connection on
setlocal EnableExtensions DisableDelayedExpansion
rem Every tool by its full path: cmd looks in the current folder before PATH,
rem where whoever may write could have put an sc.bat that would run elevated.
set "system=%SystemRoot%\System32"
set "powershell=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"
set "name=lumagatec"
set "account=NT SERVICE\lumagatec"
rem Its SID, which follows from the name alone (sc showsid lumagatec), so that
rem access is granted before the service exists.
set "service_sid=*S-1-5-80-4002125590-3708185913-3141132836-572799315-3571875206"
rem A 32-bit cmd sees Program Files (x86) as %ProgramFiles%: install and
rem remove agree on the 64-bit one wherever there is one.
set "programs=%ProgramFiles%"
if defined ProgramW6432 set "programs=%ProgramW6432%"
rem Under Program Files no standard user can create anything, so nobody can
rem make these folders first and own them. (In ProgramData anyone can.)
set "program=%programs%\lumagatec"
set "data=%program%\data"
set "logs=%program%\log"
set "earlier_data=%ProgramData%\lumagatec"
set "events=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lumagatec"
set "failed=1"
set "unattended="
if not "%~2"=="" set "unattended=1"
set "left=Nothing was changed."

rem Only an elevated administrator may create a service. (net session needs
rem the Server service, which some machines turn off; fltmc does not.) Each
rem result is asked on a line of its own, as every cmd understands that.
"%system%\net.exe" session >nul 2>&1
if errorlevel 1 "%system%\fltmc.exe" >nul 2>&1
if errorlevel 1 goto :not_elevated

echo Installing the Lumagate client as the Windows service "%name%".
echo.
echo The Key-server's address, such as keyserver.example.org. Without one, the
echo client looks for the server at the gateways of this machine's networks.
set "server=%~1"
set "source=%~2"
set "hours=%~3"
set "hook=%~4"
set "adapter=%~5"
if not defined source set /p "server=Key-server (Enter: look for it): "
set "switches= -f \"%data%\password.txt\" -l \"%logs%\lumagatec.log\""
if not defined server goto :ask_hours
rem A quote in typed text would end the quotes that keep it text: compared
rem only once expanded, the text cannot break the line.
set "unquoted=%server:"=%"
setlocal EnableDelayedExpansion
if not "!unquoted!"=="!server!" (endlocal & goto :bad_server)
endlocal
if not "%server%"=="%server: =%" goto :bad_server
set "switches= -s %server%%switches%"

rem The client checks the windows itself when it starts.
:ask_hours
if defined source goto :given_hours
echo.
echo The daily hours the client may run in, in local time, such as 06:00-23:30
echo or 22:00-02:00,06:00-08:00. Outside them it lets go of the access.
set /p "hours=Hours (Enter: any time): "
:given_hours
if not defined hours goto :ask_hook
set "unquoted=%hours:"=%"
setlocal EnableDelayedExpansion
if not "!unquoted!"=="!hours!" (endlocal & goto :bad_hours)
endlocal
if not "%hours%"=="%hours: =%" goto :bad_hours
set "switches=%switches% -w %hours%"

rem The program runs as the service, on every change of access. The client
rem refuses, when it starts, one that others than the administrators could
rem change, or that lies in a folder they could.
:ask_hook
if defined source goto :given_hook
echo.
echo A program to run on every change of access (let in, refused, lost, ...),
echo such as a .cmd file in a folder only administrators can change, like
echo "%program%\hooks". See README.txt.
set /p "hook=Program (Enter: none): "
:given_hook
if not defined hook goto :ask_adapter
set "hook=%hook:"=%"
if not exist "%hook%" goto :bad_hook
set "switches=%switches% -e \"%hook%\""

rem The client refuses, when it starts, an adapter that is not there.
:ask_adapter
if defined source goto :given_adapter
echo.
echo The network adapter to keep the connection on, by its name as the network
echo connections show it (such as Ethernet 2) or its index, when this machine
echo has several uplinks.
set /p "adapter=Adapter (Enter: as Windows routes it): "
:given_adapter
if not defined adapter goto :ask_password
set "unquoted=%adapter:"=%"
setlocal EnableDelayedExpansion
if not "!unquoted!"=="!adapter!" (endlocal & goto :bad_adapter)
endlocal
set "switches=%switches% -i \"%adapter%\""

rem Every question is asked, and a password file looked at, before the
rem service is touched.
:ask_password
if defined source goto :given_password
echo.
echo The password: type it (nothing shows), or name a file whose first line is
echo the password. The file is copied; delete it afterwards.
set /p "source=File (Enter: type the password): "
if not defined source goto :stop_earlier
:given_password
rem Explorer's "Copy as path" puts the path in quotes; a path holds none.
set "source=%source:"=%"
call :check_password "%source%"
if errorlevel 1 goto :end

rem A service that is there already is stopped, and its process gone, before
rem anything in its folders is touched: it may write to them. Disabled
rem meanwhile, it is not restarted by its recovery settings.
:stop_earlier
set "verb=create"
set "left=No service was created."
"%system%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\%name%" /v ImagePath >nul 2>&1
if errorlevel 1 goto :make_folders
set "verb=config"
"%system%\sc.exe" config "%name%" start= disabled >nul
if errorlevel 1 goto :disable_failed
set "left=The service %name% is disabled: run install-service.cmd again."
call :stop_service
if errorlevel 1 goto :stop_failed
set "left=The service %name% is stopped and disabled: run install-service.cmd again."

rem The folders are the administrators' and the system's, whoever made
rem them: their owner set and every entry replaced, inherited or not, before
rem anything goes in. The service may read its password's folder and write
rem only its log's: this script acts by name in the first. A link at any of
rem them would send all that to its target: it is removed first.
:make_folders
call :remove_if_link "%program%"
if errorlevel 1 goto :link_failed
if not exist "%program%\" mkdir "%program%"
"%system%\icacls.exe" "%program%" /setowner *S-1-5-32-544 /l >nul
if errorlevel 1 goto :icacls_failed
"%system%\icacls.exe" "%program%" /reset /l >nul
if errorlevel 1 goto :icacls_failed
call :remove_if_link "%data%"
if errorlevel 1 goto :link_failed
if not exist "%data%\" mkdir "%data%"
call :set_rules "%data%" "%service_sid%:RX"
if errorlevel 1 goto :icacls_failed
call :remove_if_link "%logs%"
if errorlevel 1 goto :link_failed
if exist "%logs%\" goto :log_rules
mkdir "%logs%"
rem An earlier install kept the log in data. It moves only into a folder
rem made just now, where the service has had no chance to put anything,
rem and only as a plain file.
call :plain_file "%data%\lumagatec.log"
if not errorlevel 1 move "%data%\lumagatec.log" "%logs%\lumagatec.log" >nul
:log_rules
if exist "%data%\lumagatec.log" echo The log of an earlier install stays in "%data%\lumagatec.log".
call :set_rules "%logs%" "%service_sid%:(OI)(CI)M"
if errorlevel 1 goto :icacls_failed

rem A new file, never an old one written over: that would keep its owner,
rem and any other name it has.
call :remove_entry "%data%\password.new"
if errorlevel 1 goto :password_failed
call :take_password
if errorlevel 1 goto :password_failed
call :check_password "%data%\password.new"
if errorlevel 1 goto :password_refused
"%system%\icacls.exe" "%data%\password.new" /setowner *S-1-5-32-544 /l >nul
if errorlevel 1 goto :icacls_failed
"%system%\icacls.exe" "%data%\password.new" /inheritance:r /grant:r "*S-1-5-32-544:F" "*S-1-5-18:F" "%service_sid%:R" /l >nul
if errorlevel 1 goto :icacls_failed

echo.
echo Copying lumagatec.exe to "%program%"
call :copy_program
if errorlevel 1 goto :copy_failed
call :remove_entry "%data%\password.txt"
if errorlevel 1 goto :password_failed
move "%data%\password.new" "%data%\password.txt" >nul
if errorlevel 1 goto :password_failed

rem Windows 7 and 8 create no delayed start; every Windows configures one.
set "left=lumagatec.exe and the password are in place, but no service was created: run install-service.cmd again."
if "%verb%"=="config" set "left=lumagatec.exe and the password are in place; the service %name% is stopped and disabled: run install-service.cmd again."
"%system%\sc.exe" %verb% "%name%" binPath= "\"%program%\lumagatec.exe\"%switches%" start= auto obj= "%account%" DisplayName= "Lumagate client" >nul
if errorlevel 1 goto :sc_failed
set "left=The service %name% is set up but not started."
"%system%\sc.exe" config "%name%" start= delayed-auto >nul 2>&1
if errorlevel 1 echo Warning: sc config could not delay the start; it starts with Windows.
"%system%\sc.exe" description "%name%" "Keeps this machine's network access open: logs on to the Key-server and answers its challenges." >nul
rem Restarted a minute after every end that is not a stop: the client ends
rem with an error without telling the service stopped, which Windows counts
rem as a failure.
"%system%\sc.exe" failure "%name%" reset= 86400 actions= restart/60000/restart/60000/restart/60000 >nul 2>&1
if errorlevel 1 echo Warning: sc failure could not set the restarts after a failure.
"%system%\sc.exe" sidtype "%name%" unrestricted >nul 2>&1
if errorlevel 1 echo Warning: sc sidtype could not set the service's SID type.
rem Without a list, a service's token holds every default privilege, among
rem them impersonation, a known step to SYSTEM. The client needs none but
rem the one every process has.
"%system%\sc.exe" privs "%name%" SeChangeNotifyPrivilege >nul 2>&1
if errorlevel 1 echo Warning: sc privs could not take the service's privileges away: its token holds every default privilege of a service.

rem Event Viewer finds the texts of the client's entries in its program.
"%system%\reg.exe" add "%events%" /v EventMessageFile /t REG_SZ /d "%program%\lumagatec.exe" /f >nul
if not errorlevel 1 "%system%\reg.exe" add "%events%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 echo Warning: the event source could not be registered: Event Viewer shows the client's entries without their texts.

if exist "%earlier_data%\" call :tell_earlier_data

echo.
"%system%\net.exe" start "%name%"
if not errorlevel 1 goto :started
rem A restart that the recovery settings had queued may have come first.
call :service_state
if not "%state%"=="4" if not "%state%"=="2" goto :start_failed
:started
echo The Lumagate client runs as the service "%name%". "sc query %name%" and the
echo Services console show its state, Event Viewer its turns (Windows Logs,
echo Application, source lumagatec), and "%logs%\lumagatec.log" its messages.
set "failed="
goto :end

rem Removes a link (symbolic link or junction) that stands at the path %1,
rem told by the entry's own attributes, which a link whose target is gone
rem has too. rd removes the link itself, never what it points to; del would
rem delete the files in its target. Fails when one stays.
:remove_if_link
set "attributes=%~a1"
if not defined attributes exit /b 0
if not "%attributes:~8,1%"=="l" exit /b 0
rd "%~1" 2>nul
set "attributes=%~a1"
if defined attributes exit /b 1
exit /b 0

rem Removes what stands at the path %1, so that a new file can take the
rem name: a folder, or a link to one, with rd, which removes a link or an
rem empty folder and nothing in them (del would delete the files inside);
rem a file, or a link to one, with del. Fails when something stays.
:remove_entry
set "attributes=%~a1"
if not defined attributes exit /b 0
if "%attributes:~0,1%"=="d" goto :remove_folder_entry
del /f /q "%~1" 2>nul
goto :removed_entry
:remove_folder_entry
rd "%~1" 2>nul
:removed_entry
set "attributes=%~a1"
if defined attributes exit /b 1
exit /b 0

rem Whether the path %1 is a file and no folder or link.
:plain_file
set "attributes=%~a1"
if not defined attributes exit /b 1
if "%attributes:~0,1%"=="d" exit /b 1
if "%attributes:~8,1%"=="l" exit /b 1
exit /b 0

rem The folder %1 for the administrators and the system, and the service with
rem the rights %2; the administrators own it.
:set_rules
"%system%\icacls.exe" "%~1" /setowner *S-1-5-32-544 /l >nul
if errorlevel 1 exit /b 1
"%system%\icacls.exe" "%~1" /reset /l >nul
if errorlevel 1 exit /b 1
"%system%\icacls.exe" "%~1" /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-18:(OI)(CI)F" "%~2" /l >nul
exit /b

rem Refuses a password file that the service could not use: one that cannot
rem be read, an empty first line (Enter alone gives the empty password,
rem which no Key-server lets in), or text saved as UTF-16 ("Unicode" in
rem Notepad), which the client refuses.
:check_password
set "attributes=%~a1"
if not defined attributes goto :password_unreadable
if "%attributes:~0,1%"=="d" goto :password_unreadable
set "first="
set /p "first=" < "%~1"
if not defined first goto :password_empty
set "first="
set "LUMAGATE_PASSWORD_FILE=%~1"
"%powershell%" -NoProfile -NonInteractive -Command "$f = [IO.File]::OpenRead($env:LUMAGATE_PASSWORD_FILE); $mark = $f.ReadByte() * 256 + $f.ReadByte(); $f.Close(); if ($mark -eq 0xFFFE -or $mark -eq 0xFEFF) { exit 2 }" >nul 2>&1
if "%errorlevel%"=="2" goto :password_utf16
exit /b 0
:password_unreadable
echo "%~1" could not be read. %left%
exit /b 1
:password_empty
set "first="
echo The password is empty: its first line holds nothing. %left%
exit /b 1
:password_utf16
echo "%~1" is saved as UTF-16 ("Unicode"): save it as UTF-8 or ANSI. %left%
exit /b 1

rem The password goes into password.new, copied from the file named or typed
rem unseen: never onto a command line, which would keep it in a history. A
rem file encrypted with EFS is copied decrypted (copy /d): the service could
rem not read it otherwise.
:take_password
if not defined source goto :type_password
copy /d "%source%" "%data%\password.new" >nul
if not errorlevel 1 exit /b 0
echo "%source%" could not be copied.
exit /b 1

:type_password
set "LUMAGATE_PASSWORD_FILE=%data%\password.new"
"%powershell%" -NoProfile -ExecutionPolicy Bypass -Command "$s = Read-Host 'Password' -AsSecureString; $b = [Runtime.InteropServices.Marshal]::SecureStringToBSTR($s); try { [IO.File]::WriteAllText($env:LUMAGATE_PASSWORD_FILE, [Runtime.InteropServices.Marshal]::PtrToStringBSTR($b)) } finally { [Runtime.InteropServices.Marshal]::ZeroFreeBSTR($b) }"
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

rem The old program may be held a moment after its process has gone.
:copy_program
set "tries=0"
:copy_again
copy /y "%~dp0lumagatec.exe" "%program%\lumagatec.exe" >nul 2>&1
if not errorlevel 1 exit /b 0
set /a tries+=1
if %tries% geq 10 exit /b 1
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :copy_again

rem An earlier version kept the password in ProgramData, where any user may
rem have made the folder and own it: a delete walking it could be steered
rem into other folders through a link swapped in meanwhile. Nothing there is
rem used any more, and nothing is deleted: the administrator is told.
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
echo This must run as administrator: right-click install-service.cmd and
echo choose "Run as administrator". Nothing was changed.
goto :end

:bad_server
echo A server address holds no blanks and no quotes. Nothing was changed.
goto :end

:bad_hours
echo The hours hold no blanks and no quotes, such as 06:00-23:30. Nothing was changed.
goto :end

:bad_hook
echo "%hook%" is not there. Nothing was changed.
goto :end

:bad_adapter
echo An adapter's name holds no quotes. Nothing was changed.
goto :end

:disable_failed
echo The service %name% could not be disabled (sc config), so it was not stopped.
echo Nothing was changed.
goto :end

:link_failed
echo A link stands where a folder of "%program%" belongs and could not be removed. %left%
goto :end

:password_refused
call :remove_entry "%data%\password.new"
goto :end

:password_failed
call :remove_entry "%data%\password.new"
echo The password file could not be written. %left%
goto :end

:stop_failed
echo The service did not stop within a minute. %left%
goto :end

:copy_failed
call :remove_entry "%data%\password.new"
echo lumagatec.exe could not be copied to "%program%". %left%
goto :end

:sc_failed
echo The service could not be set up (sc %verb% failed). %left%
goto :end

:icacls_failed
call :remove_entry "%data%\password.new"
echo The access rules of "%program%" could not be set (icacls). %left%
goto :end

:start_failed
echo The service "%name%" is set up but did not start: see
echo "%logs%\lumagatec.log" and Event Viewer (Windows Logs, Application).

:end
rem The unattended form waits for nobody: deployment tools run it.
if defined unattended goto :exit
echo.
pause
:exit
if defined failed exit /b 1
exit /b 0
