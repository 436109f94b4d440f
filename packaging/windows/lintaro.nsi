; Installer of Lintaro for Windows (NSIS 3). Built by scripts/package-windows.sh:
;   makensis -INPUTCHARSET UTF8 -DVERSION=x.y.z.w -DSTAGE=<folder> -DOUTFILE=<setup.exe> lintaro.nsi
; Installs the packaged folder into Program Files with a Start-menu entry and an
; uninstaller (reached through the system's list of programs). The user's settings in the
; registry (HKCU\SOFTWARE\Vormex\Lintaro) are the user's: neither the installer nor the
; uninstaller touches them. setup.ini is the user's list of device models: it is written
; only where none is or where it is still the one installed (a copy of which is kept as
; setup.ini.default), and the uninstaller leaves it when it was changed.
; A 64-bit installer for a 64-bit program: it writes the 64-bit Program Files and registry
; view by itself (and runs where 32-bit Windows programs cannot, as on a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma

!include "MUI2.nsh"

!define PRODUCT "Lintaro"
!define CAPTION "Мастер подключения"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lintaro"

Name "${PRODUCT} ${VERSION}"
Caption "Установка ${PRODUCT} ${VERSION}"
UninstallCaption "Удаление ${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "CompanyName" "Vormex"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© Vormex"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка ${PRODUCT}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"

!define MUI_ICON "${STAGE}/../lintaro.ico"
!define MUI_UNICON "${STAGE}/../lintaro.ico"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Запустить ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION RunProgram
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

; $R2 = 1 when the files $R0 and $R1 both exist and hold the same bytes, else 0.
!macro FILES_EQUAL prefix
Function ${prefix}FilesEqual
  StrCpy $R2 0
  ClearErrors
  FileOpen $R3 $R0 r
  IfErrors done
  FileOpen $R4 $R1 r
  IfErrors closeFirst
  next:
    ClearErrors
    FileReadByte $R3 $R5
    IfErrors firstEnded
    FileReadByte $R4 $R6
    IfErrors closeSecond
    StrCmp $R5 $R6 next closeSecond
  firstEnded:
    ClearErrors
    FileReadByte $R4 $R6
    IfErrors 0 closeSecond
    StrCpy $R2 1
  closeSecond:
    FileClose $R4
  closeFirst:
    FileClose $R3
  done:
FunctionEnd
!macroend
!insertmacro FILES_EQUAL ""
!insertmacro FILES_EQUAL "un."

; Started through the shell, so that it runs as the user and not with the installer's
; rights. Wine has no such rights to shed, and its shell need not start programs so.
Function RunProgram
  ClearErrors
  EnumRegKey $0 HKLM "Software\Wine" 0
  IfErrors windows
  StrCmp $0 "" windows
  Exec '"$INSTDIR\Lintaro.exe"'
  Return
  windows:
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\Lintaro.exe"'
FunctionEnd

Section "Lintaro"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r /x setup.ini "${STAGE}/*.*"
  StrCpy $R0 "$INSTDIR\setup.ini"
  StrCpy $R1 "$INSTDIR\setup.ini.default"
  StrCpy $R2 1
  IfFileExists $R0 0 +2
    Call FilesEqual
  StrCmp $R2 1 0 +2
    File "${STAGE}/setup.ini"
  File "/oname=setup.ini.default" "${STAGE}/setup.ini"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; An earlier version's Start-menu folder held the program and its uninstaller.
  Delete "$SMPROGRAMS\${PRODUCT}\${CAPTION}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Удалить ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Lintaro.exe" "" "$INSTDIR\Lintaro.exe" 0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} — ${CAPTION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Vormex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Lintaro.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ; Only what the installer put there; a changed setup.ini and configuration programs the
  ; user added stay, and so does the folder then.
  StrCpy $R0 "$INSTDIR\setup.ini"
  StrCpy $R1 "$INSTDIR\setup.ini.default"
  Call un.FilesEqual
  StrCmp $R2 1 0 +2
    Delete "$INSTDIR\setup.ini"
  Delete "$INSTDIR\setup.ini.default"
  !include "${STAGE}/../uninstall-files.nsh"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
