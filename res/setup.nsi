; The per-user setup: scripts/package.py builds it beside the zip, from the same
; files, with makensis and these defines:
;   VERSION   the project's version (1.2.3), VERSION4 the same as 1.2.3.0
;   FILES     a folder holding verdalune.exe, WebView2Loader.dll, 使用说明.txt, site
;   FILELIST  the include that installs, records and removes exactly those files
;   PICTURE   the welcome and finish pages' picture (164x314 BMP)
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
!include TextFunc.nsh
!include Sections.nsh
!include WinMessages.nsh
!include StrFunc.nsh
!include "${FILELIST}"
${StrStr}

!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Verdalune"
!define RUN "Software\Microsoft\Windows\CurrentVersion\Run"
!define SHORTCUT "$SMPROGRAMS\Verdalune 情绪花园.lnk"
!define WEBVIEW2 "Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
; The garden's data: the program's user data folder lives in here.
!define GARDEN "$LOCALAPPDATA\Verdalune"
; What this setup installed, one per line, for the next version's setup to remove.
!define RECORD "uninstall.files"
!define DOWNLOAD "https://developer.microsoft.com/microsoft-edge/webview2/#download-section"
; The program's owner window, by the class and title the program gives it.
!searchparse /file "${__FILEDIR__}/../src/host.h" `constexpr const wchar_t* gardenClass = L"` GARDEN_CLASS `";`
!searchparse /file "${__FILEDIR__}/../src/host.h" `constexpr const wchar_t* ownerTitle = L"` OWNER_TITLE `";`

Name "Verdalune 情绪花园"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Verdalune"
InstallDirRegKey HKCU "${KEY}" "InstallLocation"
BrandingText "Verdalune ${VERSION}"

Var running  ; 1 when the setup closed a running Verdalune
Var finishText
Var unFinishText
Var gardenGone  ; 1 when the uninstaller deleted the garden

!define MUI_ICON "verdalune.ico"
!define MUI_UNICON "verdalune.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_WELCOMEFINISHPAGE_BITMAP "${PICTURE}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${PICTURE}"

!define MUI_WELCOMEPAGE_TEXT "Verdalune 情绪花园 ${VERSION} 会安装在你自己的账户下，不需要管理员权限。$\r$\n$\r$\n花园会成为你的桌面壁纸，任务栏右下角的小花图标就是它的菜单。$\r$\n$\r$\n如果 Verdalune 正在运行，安装程序会先让它退出，装好后再启动它。你种下的日子不会受影响。"
!insertmacro MUI_PAGE_WELCOME
!define MUI_DIRECTORYPAGE_TEXT_TOP "Verdalune 会安装到下面的文件夹。如果选的文件夹里已经有别的文件，会在里面新建一个 Verdalune 文件夹来安装，原有的文件不会被改动。"
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_COMPONENTSPAGE_TEXT_TOP "选择要安装的内容。以后可以在任务管理器的“启动应用”里关闭开机启动。"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "完成后启动 Verdalune"
!define MUI_FINISHPAGE_RUN_FUNCTION startAfterSetup
!define MUI_FINISHPAGE_TEXT "$finishText"
!define MUI_PAGE_CUSTOMFUNCTION_SHOW finishShown
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Verdalune 的程序文件、开始菜单快捷方式和开机启动项会被删除；你自己放进安装文件夹的文件会保留。$\r$\n你的花园保存在 ${GARDEN}，默认保留。"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$unFinishText"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "SimpChinese"
; NSIS's own box for a file it cannot write names its buttons in English.
LangString ^FileError ${LANG_SIMPCHINESE} "无法写入文件：$\r$\n$\t“$0”$\r$\n点击“中止”停止安装，“重试”重新写入，或“忽略”跳过这个文件。"
LangString ^FileError_NoIgnore ${LANG_SIMPCHINESE} "无法写入文件：$\r$\n$\t“$0”$\r$\n点击“重试”重新写入，或“取消”停止安装。"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "Verdalune 情绪花园"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Verdalune 情绪花园 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "Verdalune"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "© 2026 Verdalune"

; Asks a running Verdalune to quit the documented way (a close request to its
; owner window) and waits up to 10 s for its process to end. It is never
; killed: while one stays, the person may quit it and retry; on 取消 (and
; always when silent) the setup stops with exit code 2, having changed
; nothing. Sets $running to 1 if it closed one.
!macro closeRunning un action
Function ${un}closeRunning
    StrCpy $running 0
    ${Do}
        FindWindow $0 "${GARDEN_CLASS}" "${OWNER_TITLE}"
        ${If} $0 == 0
            Return
        ${EndIf}
        DetailPrint "正在关闭运行中的 Verdalune……"
        System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1)"
        System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"  ; SYNCHRONIZE
        SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
        System::Call "kernel32::WaitForSingleObject(p r2, i 10000) i .r3"
        System::Call "kernel32::CloseHandle(p r2)"
        ${If} $3 == 0
            StrCpy $running 1
            Return
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONSTOP "Verdalune 仍在运行，10 秒内没能退出。${action}还没有开始，什么都没有改动。$\r$\n$\r$\n请点击任务栏右下角的小花图标，选“退出 Verdalune”，再点“重试”。点“取消”就不${action}了。" /SD IDCANCEL IDRETRY retry
        SetErrorLevel 2
        Quit
        retry:
    ${Loop}
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
        MessageBox MB_YESNO|MB_ICONINFORMATION "Verdalune 需要 Microsoft Edge WebView2 Runtime 来显示花园，这台电脑上还没有安装它。请从微软官网免费下载安装。$\r$\n$\r$\n安装会继续进行。装好运行库后，Verdalune 就能显示花园了。$\r$\n$\r$\n现在打开下载页面吗？" /SD IDNO IDNO later
        ExecShell "open" "${DOWNLOAD}"
        later:
    ${EndIf}
FunctionEnd

; A folder that holds something but no earlier Verdalune is not taken over:
; the program goes into a Verdalune folder inside it, as Windows programs do.
Function ownFolder
    ${If} ${FileExists} "$INSTDIR\verdalune.exe"
        Return
    ${EndIf}
    FindFirst $0 $1 "$INSTDIR\*"
    ${DoWhile} $1 != ""
        ${If} $1 != "."
        ${AndIf} $1 != ".."
            StrCpy $INSTDIR "$INSTDIR\Verdalune"
            ${Break}
        ${EndIf}
        FindNext $0 $1
    ${Loop}
    FindClose $0
FunctionEnd

; Removes what the earlier setup put here, as its record lists it, so that no
; page file of an older version stays; files it did not put here stay. A line
; that could reach outside the folder is skipped.
Function removeEarlier
    ClearErrors
    FileOpen $0 "$INSTDIR\${RECORD}" r
    ${If} ${Errors}
        Return
    ${EndIf}
    ${Do}
        ClearErrors
        FileReadUTF16LE $0 $1
        ${If} ${Errors}
            ${Break}
        ${EndIf}
        ${TrimNewLines} $1 $1
        ${StrStr} $2 $1 ".."
        ${StrStr} $3 $1 ":"
        StrCpy $4 $1 1
        ${If} $1 == ""
        ${OrIf} $2 != ""
        ${OrIf} $3 != ""
        ${OrIf} $4 == "\"
            ${Continue}
        ${EndIf}
        StrCpy $4 $1 "" -1
        ${If} $4 == "\"
            RMDir "$INSTDIR\$1"
        ${Else}
            Delete "$INSTDIR\$1"
        ${EndIf}
    ${Loop}
    FileClose $0
FunctionEnd

Section "Verdalune 情绪花园" program
    SectionIn RO
    Call checkWebView2
    Call closeRunning
    Call ownFolder
    Call removeEarlier
    !insertmacro installFiles
    WriteUninstaller "$INSTDIR\uninstall.exe"
    FileOpen $0 "$INSTDIR\${RECORD}" w
    !insertmacro recordFiles $0
    FileClose $0
    CreateShortCut "${SHORTCUT}" "$INSTDIR\verdalune.exe" "" "$INSTDIR\verdalune.exe" 0 "" "" "把情绪花园设为桌面壁纸"
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
    StrCpy $finishText "Verdalune 情绪花园已经安装到 $INSTDIR。"
    ; An upgrade puts back the garden it closed, silent or not.
    ${If} $running == 1
        SetOutPath "$INSTDIR"
        Exec '"$INSTDIR\verdalune.exe"'
        StrCpy $finishText "$finishText$\r$\n$\r$\nVerdalune 已经重新启动，花园会回到桌面上。"
    ${EndIf}
SectionEnd

; An upgrade keeps the earlier choice: no Run value then, none now.
Function .onInit
    ReadRegStr $0 HKCU "${KEY}" "InstallLocation"
    ReadRegStr $1 HKCU "${RUN}" "Verdalune"
    ${If} $0 != ""
    ${AndIf} $1 == ""
        !insertmacro UnselectSection ${autostart}
    ${EndIf}
FunctionEnd

; A program the setup has started again is not offered a second time.
Function finishShown
    ${If} $running == 1
        SendMessage $mui.FinishPage.Run ${BM_SETCHECK} ${BST_UNCHECKED} 0
        ShowWindow $mui.FinishPage.Run ${SW_HIDE}
    ${EndIf}
FunctionEnd

Function startAfterSetup
    ${If} $running != 1
        SetOutPath "$INSTDIR"
        Exec '"$INSTDIR\verdalune.exe"'
    ${EndIf}
FunctionEnd

; The Run value, the shortcut and the entry are shared by every copy of
; Verdalune: the uninstaller takes them only while they are its own, so
; uninstalling an older copy leaves a newer one elsewhere working.
Section "un.Verdalune 情绪花园" unProgram
    SectionIn RO
    Call un.closeRunning
    !insertmacro removeFiles
    Delete "$INSTDIR\${RECORD}"
    Delete "$INSTDIR\uninstall.exe"
    ; Only if empty: anything the person put there stays.
    RMDir "$INSTDIR"
    ReadRegStr $0 HKCU "${KEY}" "InstallLocation"
    ${If} $0 == ""
    ${OrIf} $0 == $INSTDIR
        Delete "${SHORTCUT}"
    ${EndIf}
    ReadRegStr $0 HKCU "${RUN}" "Verdalune"
    ${If} $0 == '"$INSTDIR\verdalune.exe"'
        DeleteRegValue HKCU "${RUN}" "Verdalune"
    ${EndIf}
SectionEnd

Section /o "un.同时删除我的花园（所有已种下的日子，无法恢复）" unGarden
    RMDir /r "${GARDEN}"
    StrCpy $gardenGone 1
SectionEnd

; Last, so that an uninstall that stopped early can be run again.
Section "-un.entry"
    ReadRegStr $0 HKCU "${KEY}" "InstallLocation"
    ${If} $0 == $INSTDIR
        DeleteRegKey HKCU "${KEY}"
    ${EndIf}
    ${If} $gardenGone == 1
        StrCpy $unFinishText "Verdalune 情绪花园已经卸载，你的花园也已经删除。"
    ${Else}
        StrCpy $unFinishText "Verdalune 情绪花园已经卸载。$\r$\n$\r$\n你的花园保留在 ${GARDEN}，以后重新安装 Verdalune 还能看到。"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\*"
        StrCpy $unFinishText "$unFinishText$\r$\n$\r$\n你自己放进 $INSTDIR 的文件原样保留。"
    ${EndIf}
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
