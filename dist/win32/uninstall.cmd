@echo off
rem Unregisters ax_gate.dll of this folder and removes the firewall rule for TCP
rem port 1001 that install.cmd added. Run it as administrator. It waits for a key
rem at the end unless called as uninstall.cmd /q. Delayed expansion stays off and
rem the folder's path is used only in quotes, as in install.cmd.
setlocal DisableDelayedExpansion
set "DLL=%~dp0ax_gate.dll"
set "QUIET="
if /i "%~1"=="/q" set "QUIET=1"
set "RC=1"
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd needs administrator rights: right-click it and choose "Run as administrator".
  echo Нужны права администратора: запустите uninstall.cmd через "Запуск от имени администратора".
  goto end
)
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
"%REGSVR%" /u /s "%DLL%"
if errorlevel 1 (
  echo Unregistering "%DLL%" failed.
  echo Не удалось отменить регистрацию "%DLL%".
) else (
  echo Unregistered: "%DLL%"
  echo Регистрация отменена: "%DLL%"
  set "RC=0"
)
rem The firewall rule goes either way: a DLL already deleted cannot be
rem unregistered, and port 1001 must not stay open for it.
rem Windows XP and Server 2003 (version 5.x, told by ver as in install.cmd): the
rem rule of every profile.
set "NT5="
ver | find " 5." >nul
if not errorlevel 1 set "NT5=1"
if defined NT5 (
  netsh firewall delete portopening protocol=TCP port=1001 profile=ALL >nul 2>&1
) else (
  netsh advfirewall firewall delete rule name=ax_gate >nul 2>&1
)
echo The firewall rule for TCP port 1001 is removed.
echo Правило брандмауэра для порта TCP 1001 удалено.
:end
if not defined QUIET pause
exit /b %RC%
