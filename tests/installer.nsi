; A real NSIS installer for the installer tests. A headless Wine cannot show its pages,
; so when it is not silent it records what it saw and quits at once (exit code 5);
; silent, it installs a record of what it saw and its uninstaller. NSIS_SETUP_EXIT,
; when set, is the exit code of a silent install. The uninstaller works for a while,
; then writes the QueryPerformanceCounter value at which it finished beside the folder.
Unicode true
Target amd64-unicode
Name "relauncher test installer"
OutFile "${OUTFILE}"
InstallDir "$EXEDIR\default folder"
RequestExecutionLevel user
Page directory
Page instfiles

Function .onInit
  IfSilent +6
    FileOpen $0 "$EXEDIR\wizard.txt" w
    FileWrite $0 "silent=0$\r$\ninstdir=$INSTDIR$\r$\ncmdline=$CMDLINE"
    FileClose $0
    SetErrorLevel 5
    Quit
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  FileOpen $0 "$INSTDIR\installed.txt" w
  FileWrite $0 "silent=1$\r$\ninstdir=$INSTDIR"
  FileClose $0
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ReadEnvStr $1 NSIS_SETUP_EXIT
  StrCmp $1 "" +2
    SetErrorLevel $1
SectionEnd

Section "Uninstall"
  Sleep 2500
  Delete "$INSTDIR\installed.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  System::Call 'kernel32::QueryPerformanceCounter(*l .r0)'
  FileOpen $1 "$INSTDIR.uninstalled" w
  FileWrite $1 "end=$0"
  FileClose $1
SectionEnd
