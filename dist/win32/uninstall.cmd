@echo off
rem Unregisters ax_gate.dll of this folder and removes the firewall rule for TCP
rem port 1001 that install.cmd added. Run it as administrator.
setlocal EnableDelayedExpansion
set "DLL=%~dp0ax_gate.dll"
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 (
  echo uninstall.cmd needs administrator rights: right-click it and choose "Run as administrator".
  echo Нужны права администратора: запустите uninstall.cmd через "Запуск от имени администратора".
  exit /b 1
)
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
"%REGSVR%" /u /s "%DLL%"
if errorlevel 1 (
  echo Unregistering !DLL! failed.
  echo Не удалось отменить регистрацию !DLL!.
  exit /b 1
)
echo Unregistered: %DLL%
echo Регистрация отменена: %DLL%
netsh advfirewall show currentprofile >nul 2>&1
if errorlevel 1 (
  netsh firewall delete portopening protocol=TCP port=1001 >nul 2>&1
) else (
  netsh advfirewall firewall delete rule name=ax_gate >nul 2>&1
)
echo The firewall rule for TCP port 1001 is removed.
echo Правило брандмауэра для порта TCP 1001 удалено.
exit /b 0
