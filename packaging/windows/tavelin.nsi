; The Windows installer, built by scripts/windows with Debian's makensis:
;   makensis -DVERSION=3.1.4 -DFILES=files.nsh -DUNFILES=unfiles.nsh
;            -DOUTFILE=tavelin-3.1.4-win64-installer.exe tavelin.nsi
; FILES and UNFILES are made from the list of the zip's files (File and
; Delete lines), so the installer and the uninstaller name exactly what
; the zip holds.
;
; Per user, without administrator rights (a workshop PC's technician seldom
; has them): the program goes to %LOCALAPPDATA%\Programs\Tavelin, the data
; (conf.dat, hyst.dat, history.csv, trace.log) to Documents\Tavelin, which
; the Start-menu shortcut uses as its working folder. Uninstalling removes
; the program and its shortcuts and keeps the data folder.
; Silent: tavelin-VERSION-win64-installer.exe /S, uninstall.exe /S.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

Name "Tavelin ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tavelin"
ShowInstDetails show
ShowUninstDetails show

!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavelin"
!define DRIVERNOTE "PCANBasic.dll was not found in $SYSDIR.$\r$\n$\r$\nTavelin talks to the PCAN-USB adapter through the adapter maker's driver package, which installs PCANBasic.dll there. Download the PCAN-USB device driver package from the adapter maker's website and install it; Windows does not start tavelin.exe without it."

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Tavelin"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The data folder, and the shortcut that starts the program in it: the
  ; shortcut's "Start in" is the output path at the time it is made.
  CreateDirectory "$DOCUMENTS\Tavelin"
  CreateDirectory "$SMPROGRAMS\Tavelin"
  SetOutPath "$DOCUMENTS\Tavelin"
  CreateShortCut "$SMPROGRAMS\Tavelin\Tavelin.lnk" "$INSTDIR\tavelin.exe" "" "$INSTDIR\tavelin.exe" 0
  CreateShortCut "$SMPROGRAMS\Tavelin\Tavelin data folder.lnk" "$DOCUMENTS\Tavelin"
  SetOutPath "$INSTDIR"

  WriteRegStr HKCU "${UNINSTKEY}" "DisplayName" "Tavelin"
  WriteRegStr HKCU "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTKEY}" "Publisher" "Tavelin"
  WriteRegStr HKCU "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTKEY}" "NoRepair" 1

  ; The installer does not ship the adapter maker's library; it says where
  ; it comes from when the system folder lacks it (silent installs log it).
  IfFileExists "$SYSDIR\PCANBasic.dll" driver_found
    DetailPrint "PCANBasic.dll was not found in $SYSDIR: install the PCAN-USB driver package from the adapter maker's website."
    MessageBox MB_OK|MB_ICONINFORMATION "${DRIVERNOTE}" /SD IDOK
  driver_found:
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Tavelin\Tavelin.lnk"
  Delete "$SMPROGRAMS\Tavelin\Tavelin data folder.lnk"
  RMDir "$SMPROGRAMS\Tavelin"
  DeleteRegKey HKCU "${UNINSTKEY}"
  ; Documents\Tavelin holds the technician's settings and flash history: kept.
SectionEnd
