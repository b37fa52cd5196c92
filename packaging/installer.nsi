; The Windows installer, Kestrome-<version>-setup.exe, built by makensis from the files the build
; stages (cmake/packaging.cmake). It installs for the user who runs it, without elevation: into
; %LOCALAPPDATA%\Programs\Kestrome, a Start-menu shortcut in the user's own Start menu, and the
; uninstaller in HKCU's Uninstall key, which is the user's Apps list. The uninstaller removes
; exactly the files the installer put there; it never touches folders the user synchronizes, their
; Backup or Deleted, nor any other file in the program's folder (the folder stays if one is there).
;
; Defined by the caller: VERSION (four numbers), STAGE (the folder of the files), OUTFILE.
; The installer must be the same bytes from any build folder at any time: no build path is written
; into a string, and files keep no time of their own (SetDateSave off: installed files get the time
; of the installation, as a copy would).

!ifndef VERSION
  !error "define VERSION, STAGE and OUTFILE"
!endif
!ifndef STAGE
  !error "define VERSION, STAGE and OUTFILE"
!endif
!ifndef OUTFILE
  !error "define VERSION, STAGE and OUTFILE"
!endif

Unicode true
; The programs are 64-bit; so is the installer, which also keeps it off 32-bit Windows.
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel user
SetCompressor /SOLID lzma
SetDateSave off

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrome"

Name "Kestrome"
Caption "Kestrome ${VERSION} Setup"
BrandingText "Kestrome ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Kestrome"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "kestrome.example"
VIAddVersionKey /LANG=1033 "FileDescription" "Kestrome ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 The Kestrome developers"
VIAddVersionKey /LANG=1033 "OriginalFilename" "Kestrome-${VERSION}-setup.exe"
VIAddVersionKey /LANG=1033 "ProductName" "Kestrome"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\Kestrome.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\Guide.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the user's guide"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!define MUI_UNCONFIRMPAGE_TEXT_TOP "Kestrome's programs, guide, changelog, licence, read-me and Start-menu entry will be removed. The folders you synchronized, with their Backup and Deleted folders, are not touched."

!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

; The installed files, one list for installing and for removing, so the uninstaller removes what
; the installer wrote and nothing else.
!macro KESTROME_FILES ACTION
  !insertmacro ${ACTION} "Kestrome.exe"
  !insertmacro ${ACTION} "KestromeCli.exe"
  !insertmacro ${ACTION} "Guide.html"
  !insertmacro ${ACTION} "screenshot.png"
  !insertmacro ${ACTION} "CHANGELOG.txt"
  !insertmacro ${ACTION} "LICENSE.txt"
  !insertmacro ${ACTION} "README.txt"
  !insertmacro ${ACTION} "kestrome-nightly.xml"
!macroend
!macro INSTALL_FILE NAME
  File "${STAGE}/${NAME}"
!macroend
!macro REMOVE_FILE NAME
  Delete "$INSTDIR\${NAME}"
!macroend

Section "Kestrome"
  SetOutPath "$INSTDIR"
  !insertmacro KESTROME_FILES INSTALL_FILE
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\Kestrome.lnk" "$INSTDIR\Kestrome.exe" "" "" 0 SW_SHOWNORMAL "" "Keep a copy of a folder up to date"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Kestrome"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Kestrome developers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "URLInfoAbout" "https://kestrome.example"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Kestrome.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  !insertmacro KESTROME_FILES REMOVE_FILE
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: a file the user keeps there (a log, a script) keeps the folder too.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Kestrome.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
