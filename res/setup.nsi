; The per-user setup: scripts/package.py builds it beside the zip, from the same
; files, with makensis and these defines:
;   VERSION   the project's version (1.2.3), VERSION4 the same as 1.2.3.0
;   FILES     a folder holding verdalune.exe, WebView2Loader.dll, 使用说明.txt, site
;   SIZE_KB   the size of those files, for Apps & features
;   OUTFILE   where the setup goes
; Silent use: setup.exe /S [/D=folder]; uninstall.exe /S [/DELETEGARDEN].
Unicode true
; The program runs on x64 only, and so does the setup.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include WinMessages.nsh

!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Verdalune"
!define RUN "Software\Microsoft\Windows\CurrentVersion\Run"
!define SHORTCUT "$SMPROGRAMS\Verdalune 情绪花园.lnk"
!define WEBVIEW2 "Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
; The garden's data: the program's user data folder lives in here.
!define GARDEN "$LOCALAPPDATA\Verdalune"

Name "Verdalune 情绪花园"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Verdalune"
InstallDirRegKey HKCU "${KEY}" "InstallLocation"
BrandingText "Verdalune ${VERSION}"

Var running  ; 1 when the setup closed a running Verdalune

!define MUI_ICON "verdalune.ico"
!define MUI_UNICON "verdalune.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_WELCOMEPAGE_TEXT "这会把 Verdalune 情绪花园 ${VERSION} 安装到你的账户下，不需要管理员权限。$\r$\n$\r$\n花园会成为你的桌面壁纸，右下角的小花图标是它的菜单。$\r$\n$\r$\n如果 Verdalune 正在运行，安装程序会先让它退出，装好后再启动它。你种下的日子不会受影响。"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_COMPONENTSPAGE_TEXT_TOP "选择要安装的内容。以后可以在任务管理器的“启动应用”里关闭开机启动。"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "完成后启动 Verdalune"
!define MUI_FINISHPAGE_RUN_FUNCTION startAfterSetup
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Verdalune 的程序文件、开始菜单快捷方式和开机启动项会被删除。$\r$\n你的花园保存在 ${GARDEN}，默认保留。"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "Verdalune"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Verdalune 情绪花园 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "Verdalune"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "© 2026 Verdalune"

; Asks a running Verdalune to quit the documented way (a close request to its
; owner window) and waits up to 10 s for its process to end. It is never
; killed: one that stays is left running, the person is told, and the setup
; stops with exit code 2. Sets $running to 1 if it closed one.
!macro closeRunning un action
Function ${un}closeRunning
    StrCpy $running 0
    FindWindow $0 "VerdaluneGardenWindow" "Verdalune 菜单"
    ${If} $0 == 0
        Return
    ${EndIf}
    DetailPrint "正在关闭运行中的 Verdalune……"
    System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1)"
    System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"  ; SYNCHRONIZE
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    System::Call "kernel32::WaitForSingleObject(p r2, i 10000) i .r3"
    System::Call "kernel32::CloseHandle(p r2)"
    ${If} $3 != 0
        MessageBox MB_OK|MB_ICONSTOP "Verdalune 还在运行，10 秒内没有退出，所以${action}没有进行，什么都没有改动。$\r$\n$\r$\n请点击任务栏右下角的小花图标，选“退出 Verdalune”，然后重新运行${action}程序。" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    StrCpy $running 1
FunctionEnd
!macroend
!insertmacro closeRunning "" "安装"
!insertmacro closeRunning "un." "卸载"

; The runtime registers its version as "pv" per machine (in either registry
; view) or per user; empty or 0.0.0.0 means it is not there.
Function checkWebView2
    SetRegView 64
    ReadRegStr $0 HKLM "SOFTWARE\${WEBVIEW2}" "pv"
    ${If} $0 == ""
    ${OrIf} $0 == "0.0.0.0"
        SetRegView 32
        ReadRegStr $0 HKLM "SOFTWARE\${WEBVIEW2}" "pv"
        SetRegView 64
    ${EndIf}
    ${If} $0 == ""
    ${OrIf} $0 == "0.0.0.0"
        ReadRegStr $0 HKCU "Software\${WEBVIEW2}" "pv"
    ${EndIf}
    ${If} $0 == ""
    ${OrIf} $0 == "0.0.0.0"
        DetailPrint "没有找到 Microsoft Edge WebView2 Runtime。"
        MessageBox MB_OK|MB_ICONINFORMATION "Verdalune 需要 Microsoft Edge WebView2 Runtime 来显示花园，这台电脑上还没有找到它。$\r$\n$\r$\n请到微软官网下载安装 Evergreen 版（常青版）运行库：$\r$\nhttps://developer.microsoft.com/microsoft-edge/webview2/$\r$\n$\r$\n安装会继续进行。装好运行库后，Verdalune 就能显示花园了。" /SD IDOK
    ${EndIf}
FunctionEnd

Section "Verdalune 情绪花园" program
    SectionIn RO
    Call checkWebView2
    Call closeRunning
    SetOutPath "$INSTDIR"
    ; The site is replaced as a whole, so no page file of an older version stays.
    RMDir /r "$INSTDIR\site"
    File "${FILES}/verdalune.exe"
    File "${FILES}/WebView2Loader.dll"
    File "${FILES}/使用说明.txt"
    File /r "${FILES}/site"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "${SHORTCUT}" "$INSTDIR\verdalune.exe" "" "$INSTDIR\verdalune.exe" 0 "" "" "把情绪花园放上桌面"
    WriteRegStr HKCU "${KEY}" "DisplayName" "Verdalune 情绪花园"
    WriteRegStr HKCU "${KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${KEY}" "Publisher" "Verdalune"
    WriteRegStr HKCU "${KEY}" "DisplayIcon" "$INSTDIR\verdalune.exe,0"
    WriteRegStr HKCU "${KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${KEY}" "EstimatedSize" ${SIZE_KB}
    WriteRegDWORD HKCU "${KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${KEY}" "NoRepair" 1
SectionEnd

Section "登录 Windows 时自动启动 Verdalune" autostart
    WriteRegStr HKCU "${RUN}" "Verdalune" '"$INSTDIR\verdalune.exe"'
SectionEnd

Section "-restart"
    ${IfNot} ${SectionIsSelected} ${autostart}
        DeleteRegValue HKCU "${RUN}" "Verdalune"
    ${EndIf}
    ; An upgrade puts back the garden it closed, silent or not.
    ${If} $running == 1
        SetOutPath "$INSTDIR"
        Exec '"$INSTDIR\verdalune.exe"'
    ${EndIf}
SectionEnd

Function startAfterSetup
    ${If} $running != 1
        SetOutPath "$INSTDIR"
        Exec '"$INSTDIR\verdalune.exe"'
    ${EndIf}
FunctionEnd

Section "un.Verdalune 情绪花园" unProgram
    SectionIn RO
    Call un.closeRunning
    Delete "$INSTDIR\verdalune.exe"
    Delete "$INSTDIR\WebView2Loader.dll"
    Delete "$INSTDIR\使用说明.txt"
    RMDir /r "$INSTDIR\site"
    Delete "$INSTDIR\uninstall.exe"
    ; Only if empty: anything the person put there stays.
    RMDir "$INSTDIR"
    Delete "${SHORTCUT}"
    DeleteRegValue HKCU "${RUN}" "Verdalune"
SectionEnd

Section /o "un.同时删除我的花园（所有已种下的日子，无法恢复）" unGarden
    RMDir /r "${GARDEN}"
SectionEnd

; Last, so that an uninstall that stopped early can be run again.
Section "-un.entry"
    DeleteRegKey HKCU "${KEY}"
SectionEnd

; A silent uninstall keeps the garden unless /DELETEGARDEN is given.
Function un.onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/DELETEGARDEN" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${unGarden}
    ${EndIf}
FunctionEnd
