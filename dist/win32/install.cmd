@echo off
rem Registers ax_gate.dll, the add-in of 1C:Enterprise 7.7, from this folder and
rem lets the gate controllers in on TCP port 1001. Run it as administrator from
rem the folder the DLL is to stay in. It waits for a key at the end, so that a
rem double-clicked window can be read; install.cmd /q does not (for scripts).
rem Delayed expansion stays off (a registry setting can turn it on for every cmd):
rem it would eat a "!" in the folder's name. The path is used only in quotes,
rem where a "&" or ")" in it cannot end the command or the block.
setlocal DisableDelayedExpansion
set "DLL=%~dp0ax_gate.dll"
set "QUIET="
if /i "%~1"=="/q" set "QUIET=1"
set "RC=1"
if not exist "%DLL%" (
  echo ax_gate.dll is not next to install.cmd: "%DLL%"
  echo Файл ax_gate.dll не найден рядом с install.cmd: "%DLL%"
  goto end
)
rem Only administrators may read the LocalService hive.
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 (
  echo install.cmd needs administrator rights: right-click it and choose "Run as administrator".
  echo Without them, register for the current user only: ax_gate-regsvr.exe ax_gate.dll /REGSERVERPERUSER
  echo Нужны права администратора: запустите install.cmd через "Запуск от имени администратора".
  echo Без них можно зарегистрировать только для текущего пользователя: ax_gate-regsvr.exe ax_gate.dll /REGSERVERPERUSER
  goto end
)
rem 1C:Enterprise 7.7 is a 32-bit program: on 64-bit Windows the 32-bit regsvr32
rem writes where it looks.
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
"%REGSVR%" /s "%DLL%"
if errorlevel 1 (
  echo Registering "%DLL%" failed.
  echo Не удалось зарегистрировать "%DLL%".
  goto end
)
echo Registered: "%DLL%"
echo Зарегистрирован: "%DLL%"
rem The Windows version, from what ver says ("Microsoft Windows XP [Version
rem 5.1.2600]", "[Версия 5.2.3790]" on a Russian Server 2003, "[Version
rem 10.0.19045.3803]" on Windows 10): 5.x, Windows XP and Server 2003, has the
rem firewall of netsh firewall, with a rule for every profile (a domain-joined
rem machine switches to the standard profile when its domain controller is out of
rem reach); 6.0, Vista, and later have netsh advfirewall.
set "NT5="
ver | find " 5." >nul
if not errorlevel 1 set "NT5=1"
if defined NT5 (
  netsh firewall set portopening protocol=TCP port=1001 name=ax_gate mode=ENABLE profile=ALL >nul
) else (
  netsh advfirewall firewall delete rule name=ax_gate >nul 2>&1
  netsh advfirewall firewall add rule name=ax_gate dir=in action=allow protocol=TCP localport=1001 >nul
)
if errorlevel 1 (
  echo The firewall rule for TCP port 1001 could not be added: allow it by hand.
  echo Не удалось открыть порт TCP 1001 в брандмауэре: откройте его вручную.
  goto end
)
echo TCP port 1001 is open in the Windows firewall.
echo Порт TCP 1001 открыт в брандмауэре Windows.
set "RC=0"
:end
if not defined QUIET pause
exit /b %RC%
