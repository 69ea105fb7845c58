@echo off
rem Registers ax_gate.dll, the add-in of 1C:Enterprise 7.7, from this folder and
rem lets the gate controllers in on TCP port 1001. Run it as administrator from
rem the folder the DLL is to stay in.
setlocal EnableDelayedExpansion
set "DLL=%~dp0ax_gate.dll"
if not exist "%DLL%" (
  echo ax_gate.dll is not next to install.cmd: !DLL!
  echo Файл ax_gate.dll не найден рядом с install.cmd.
  exit /b 1
)
rem Only administrators may read the LocalService hive.
reg query "HKU\S-1-5-19" >nul 2>&1
if errorlevel 1 (
  echo install.cmd needs administrator rights: right-click it and choose "Run as administrator".
  echo Without them, register for the current user only: ax_gate-regsvr.exe ax_gate.dll /REGSERVERPERUSER
  echo Нужны права администратора: запустите install.cmd через "Запуск от имени администратора".
  echo Без них можно зарегистрировать только для текущего пользователя: ax_gate-regsvr.exe ax_gate.dll /REGSERVERPERUSER
  exit /b 1
)
rem 1C:Enterprise 7.7 is a 32-bit program: on 64-bit Windows the 32-bit regsvr32
rem writes where it looks.
set "REGSVR=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR=%SystemRoot%\SysWOW64\regsvr32.exe"
"%REGSVR%" /s "%DLL%"
if errorlevel 1 (
  echo Registering !DLL! failed.
  echo Не удалось зарегистрировать !DLL!.
  exit /b 1
)
echo Registered: %DLL%
echo Зарегистрирован: %DLL%
rem Windows Vista and later have advfirewall; Windows XP SP2 and SP3 the older firewall context.
netsh advfirewall show currentprofile >nul 2>&1
if errorlevel 1 (
  netsh firewall set portopening protocol=TCP port=1001 name=ax_gate mode=ENABLE >nul
) else (
  netsh advfirewall firewall delete rule name=ax_gate >nul 2>&1
  netsh advfirewall firewall add rule name=ax_gate dir=in action=allow protocol=TCP localport=1001 >nul
)
if errorlevel 1 (
  echo The firewall rule for TCP port 1001 could not be added: allow it by hand.
  echo Не удалось открыть порт TCP 1001 в брандмауэре: откройте его вручную.
  exit /b 1
)
echo TCP port 1001 is open in the Windows firewall.
echo Порт TCP 1001 открыт в брандмауэре Windows.
exit /b 0
