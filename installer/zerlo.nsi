; zerlo-1.5-setup.exe: the driver, the fan loop's service and Zerlo Monitor
; for a notebook owner, and their removal. Every service is installed,
; started, stopped and removed by zerloctl.exe itself, so that the setup
; holds no second copy of that work.
;
; makensis -DBUILD_DIR=DIR -DREADME=FILE -DOUTFILE=FILE -DUNINSTALLER_COPY=FILE installer/zerlo.nsi
;
; Silent use (exit codes in docs/client.md):
;   zerlo-1.5-setup.exe /S [/PRESET=quiet|balanced|cool] [/NOAUTO] [/NOMONITOR] [/D=FOLDER]
;   /SKIPCHECK is for the Wine test only: it installs the fan loop with the
;   example configuration although the check finds no BIOS to answer.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include WinVer.nsh
!include FileFunc.nsh
!include Sections.nsh
!include WinMessages.nsh

!define VERSION "1.5"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zerlo"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define MONITOR_VALUE "Zerlo Monitor"
!define MONITOR_CLASS "ZerloMonitor"
!define MONITOR_EXIT 452 ; the monitor's Exit command (kMenuExit)
!define AUTO_FOLDER "$SYSDIR\zerlo"

; Exit codes
!define EXIT_REFUSED 1   ; not an administrator, 64-bit Windows, Windows before XP
!define EXIT_USAGE 2     ; an unknown preset
!define EXIT_DRIVER 3    ; the driver could not be installed or started
!define EXIT_NO_LOOP 4   ; installed, but no fan loop: the check found none usable, or install-auto failed

Name "Zerlo ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Zerlo"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show
BrandingText "Zerlo ${VERSION}"

; The uninstaller as made, for the build's check of its imports.
!uninstfinalize 'cp "%1" "${UNINSTALLER_COPY}"'

Var Preset       ; quiet, balanced or cool
Var PresetSection
Var SkipCheck
Var Previous     ; the folder of the Zerlo this setup replaces, or ""
Var KeptConfig   ; 1 when the owner's auto.json was saved for the new install

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_WELCOMEPAGE_TEXT "This installs Zerlo ${VERSION} on this notebook: the zerlo driver, which reads the fans and temperatures through the BIOS, automatic fan control, and Zerlo Monitor.$\r$\n$\r$\nSetup checks whether this notebook answers Zerlo before it installs automatic fan control.$\r$\n$\r$\nClick Next to continue."
!define MUI_FINISHPAGE_RUN "$INSTDIR\zerlomon.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Zerlo Monitor now"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the documentation"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "1.5.0.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Zerlo"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Zerlo ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Zerlo"

; zerloctl.exe COMMAND, its output in the details list; its exit code on the stack.
!macro Zerloctl ARGS
  nsExec::ExecToLog '"$INSTDIR\zerloctl.exe" ${ARGS}'
!macroend

; Zerlo Monitor exits through its own Exit command, in every window of this
; desktop, so that its file can be replaced or removed.
!macro StopMonitor un
Function ${un}StopMonitor
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${MONITOR_CLASS}"
    ${If} $0 = 0
    ${OrIf} $1 >= 20
      ${Break}
    ${EndIf}
    SendMessage $0 ${WM_COMMAND} ${MONITOR_EXIT} 0 /TIMEOUT=2000
    Sleep 250
    IntOp $1 $1 + 1
  ${Loop}
FunctionEnd
!macroend
!insertmacro StopMonitor ""
!insertmacro StopMonitor "un."

; Refusals come first, in plain words, before any page.
!macro RefuseUnsuitable
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Zerlo must be installed by an administrator: its driver and services change the whole system. Log on as an administrator and run this setup again." /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Quit
  ${EndIf}
  ${If} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "This is 64-bit Windows. Zerlo's driver is a 32-bit driver and cannot run here." /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Quit
  ${EndIf}
  ${IfNot} ${AtLeastWinXP}
    MessageBox MB_OK|MB_ICONSTOP "Zerlo needs Windows XP or later." /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Quit
  ${EndIf}
!macroend

Section "Zerlo driver (required)" SecDriver
  SectionIn RO
  InitPluginsDir
  StrCpy $KeptConfig 0
  ${If} $Previous != ""
    DetailPrint "Replacing the Zerlo in $Previous: stopping Zerlo Monitor, ZerloAuto, then the driver"
    Call StopMonitor
    ${If} ${FileExists} "${AUTO_FOLDER}\auto.json"
      CopyFiles /SILENT "${AUTO_FOLDER}\auto.json" "$PLUGINSDIR\kept.json"
      StrCpy $KeptConfig 1
      DetailPrint "Keeping the fan loop's configuration"
    ${EndIf}
    nsExec::ExecToLog '"$Previous\zerloctl.exe" stop-auto'
    Pop $0
    nsExec::ExecToLog '"$Previous\zerloctl.exe" stop'
    Pop $0
    nsExec::ExecToLog '"$Previous\zerloctl.exe" uninstall-auto'
    Pop $0
    nsExec::ExecToLog '"$Previous\zerloctl.exe" uninstall'
    Pop $0
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}/zerlo.sys"
  File "${BUILD_DIR}/zerloctl.exe"
  File "${BUILD_DIR}/zerlomon.exe"
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  !insertmacro Zerloctl 'install --sys "$INSTDIR\zerlo.sys"'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "The zerlo driver could not be installed (see the details above)." /SD IDOK
    SetErrorLevel ${EXIT_DRIVER}
    Abort
  ${EndIf}
  !insertmacro Zerloctl "start"
  Pop $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "The zerlo driver did not start (see the details above)." /SD IDOK
    SetErrorLevel ${EXIT_DRIVER}
    Abort
  ${EndIf}

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\Zerlo"
  CreateShortcut "$SMPROGRAMS\Zerlo\Zerlo Monitor.lnk" "$INSTDIR\zerlomon.exe"
  CreateShortcut "$SMPROGRAMS\Zerlo\Zerlo notebook check.lnk" "$SYSDIR\cmd.exe" '/k ""$INSTDIR\zerloctl.exe" check"'
  CreateShortcut "$SMPROGRAMS\Zerlo\Zerlo documentation.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\Zerlo\Uninstall Zerlo.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zerlo ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zerlomon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"

  DetailPrint "The notebook check:"
  !insertmacro Zerloctl "check"
  Pop $0
  ${If} $0 = 0
    DetailPrint "Verdict: this notebook answers Zerlo."
  ${Else}
    DetailPrint "Verdict: automatic fan control cannot be used on this notebook (the reason is above)."
  ${EndIf}
  StrCpy $R9 $0 ; the check's exit code, for the fan loop's section
SectionEnd

SectionGroup /e "Automatic fan control (ZerloAuto)" SecAuto
  Section "quiet: fans late and seldom changed" SecQuiet
  SectionEnd
  Section "balanced: follows the heat (default)" SecBalanced
  SectionEnd
  Section "cool: fans early, cooler and louder" SecCool
  SectionEnd
SectionGroupEnd

Section "-fan loop"
  ${IfNot} ${SectionIsSelected} ${SecQuiet}
  ${AndIfNot} ${SectionIsSelected} ${SecBalanced}
  ${AndIfNot} ${SectionIsSelected} ${SecCool}
    DetailPrint "No automatic fan control chosen."
    Return
  ${EndIf}
  ${If} $KeptConfig = 1
    DetailPrint "Automatic fan control with the configuration kept from before:"
    !insertmacro Zerloctl 'install-auto --config "$PLUGINSDIR\kept.json"'
  ${ElseIf} $R9 = 0
    DetailPrint "Automatic fan control with the $Preset preset:"
    !insertmacro Zerloctl "install-auto --preset $Preset"
  ${ElseIf} $SkipCheck = 1
    DetailPrint "/SKIPCHECK (for tests only): the fan loop with the example configuration, whatever the check said:"
    ExecWait '"$SYSDIR\cmd.exe" /c ""$INSTDIR\zerloctl.exe" auto --print-example-config > "$PLUGINSDIR\example.json""'
    !insertmacro Zerloctl 'install-auto --config "$PLUGINSDIR\example.json"'
  ${Else}
    DetailPrint "No automatic fan control installed: the notebook check found it cannot be used here."
    SetErrorLevel ${EXIT_NO_LOOP}
    Return
  ${EndIf}
  Pop $0
  ${If} $0 != 0
    DetailPrint "Automatic fan control could not be installed (see above)."
    SetErrorLevel ${EXIT_NO_LOOP}
  ${EndIf}
SectionEnd

Section "Zerlo Monitor at every logon" SecMonitor
  WriteRegStr HKLM "${RUN_KEY}" "${MONITOR_VALUE}" '"$INSTDIR\zerlomon.exe"'
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} "The zerlo driver and zerloctl.exe, the notebook check and the Start menu's shortcuts."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecAuto} "The fan loop as the service ZerloAuto, with one of three presets; installed only if the notebook check finds it usable."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMonitor} "Zerlo Monitor in the notification area for every user at logon."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; The presets are a choice of one: choosing one unchooses the other, and
; choosing the group again brings back the last one.
Function .onSelChange
  StrCpy $1 0
  ${ForEach} $0 ${SecQuiet} ${SecCool} + 1
    ${If} ${SectionIsSelected} $0
      IntOp $1 $1 + 1
    ${EndIf}
  ${Next}
  ${If} $1 > 1
    ${If} $1 = 3
      StrCpy $2 $PresetSection
    ${Else}
      ; the one chosen now is the selected one that was not chosen before
      ${ForEach} $0 ${SecQuiet} ${SecCool} + 1
        ${If} ${SectionIsSelected} $0
        ${AndIf} $0 != $PresetSection
          StrCpy $2 $0
        ${EndIf}
      ${Next}
    ${EndIf}
    ${ForEach} $0 ${SecQuiet} ${SecCool} + 1
      ${If} $0 = $2
        !insertmacro SelectSection $0
      ${Else}
        !insertmacro UnselectSection $0
      ${EndIf}
    ${Next}
    StrCpy $PresetSection $2
  ${ElseIf} $1 = 1
    ${ForEach} $0 ${SecQuiet} ${SecCool} + 1
      ${If} ${SectionIsSelected} $0
        StrCpy $PresetSection $0
      ${EndIf}
    ${Next}
  ${EndIf}
  Call PresetOfSection
FunctionEnd

Function PresetOfSection
  ${Select} $PresetSection
  ${Case} ${SecQuiet}
    StrCpy $Preset "quiet"
  ${Case} ${SecCool}
    StrCpy $Preset "cool"
  ${CaseElse}
    StrCpy $Preset "balanced"
  ${EndSelect}
FunctionEnd

Function .onInit
  !insertmacro RefuseUnsuitable
  ReadRegStr $Previous HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrCpy $SkipCheck 0
  StrCpy $PresetSection ${SecBalanced}
  !insertmacro UnselectSection ${SecQuiet}
  !insertmacro UnselectSection ${SecCool}

  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PRESET=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "quiet"
      StrCpy $PresetSection ${SecQuiet}
    ${ElseIf} $R1 == "cool"
      StrCpy $PresetSection ${SecCool}
    ${ElseIf} $R1 != "balanced"
      MessageBox MB_OK|MB_ICONSTOP "Unknown preset $R1: use quiet, balanced or cool." /SD IDOK
      SetErrorLevel ${EXIT_USAGE}
      Quit
    ${EndIf}
    !insertmacro UnselectSection ${SecBalanced}
    !insertmacro SelectSection $PresetSection
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOAUTO" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecQuiet}
    !insertmacro UnselectSection ${SecBalanced}
    !insertmacro UnselectSection ${SecCool}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOMONITOR" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecMonitor}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SKIPCHECK" $R1
  ${IfNot} ${Errors}
    StrCpy $SkipCheck 1
  ${EndIf}
  Call PresetOfSection
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  DetailPrint "Stopping Zerlo Monitor, then removing ZerloAuto and the driver"
  Call un.StopMonitor
  nsExec::ExecToLog '"$INSTDIR\zerloctl.exe" uninstall-auto'
  Pop $0
  nsExec::ExecToLog '"$INSTDIR\zerloctl.exe" uninstall'
  Pop $0

  Delete "$SMPROGRAMS\Zerlo\Zerlo Monitor.lnk"
  Delete "$SMPROGRAMS\Zerlo\Zerlo notebook check.lnk"
  Delete "$SMPROGRAMS\Zerlo\Zerlo documentation.lnk"
  Delete "$SMPROGRAMS\Zerlo\Uninstall Zerlo.lnk"
  RMDir "$SMPROGRAMS\Zerlo"
  DeleteRegValue HKLM "${RUN_KEY}" "${MONITOR_VALUE}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  Delete "$INSTDIR\zerlo.sys"
  Delete "$INSTDIR\zerloctl.exe"
  Delete "$INSTDIR\zerlomon.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} ${FileExists} "${AUTO_FOLDER}\auto.log"
    DetailPrint "Left in place: the fan loop's log, ${AUTO_FOLDER}\auto.log (and auto.log.1 if there is one); delete the folder ${AUTO_FOLDER} when it is no longer wanted."
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro RefuseUnsuitable
FunctionEnd
