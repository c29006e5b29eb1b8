# The steps that .github/workflows/windows.yml runs on a real Windows machine,
# one per call, from the repository's root. They need Windows (PowerShell 7),
# so none of them runs on the Linux machine the project is built on; the
# check itself, desktop-check.exe, is tested there under Wine.
#
#   scripts/windows-ci.ps1 resolution       raise the primary display to 1920x1080 where the image allows
#   scripts/windows-ci.ps1 install          install dist\*-setup.exe silently, per user
#   scripts/windows-ci.ps1 start            start the installed program, wait for its windows
#   scripts/windows-ci.ps1 check NAME       dist\desktop-check.exe --wait 60 into reports\NAME; fails on "not seen"
#   scripts/windows-ci.ps1 tray             tray 种下今天, then 回到壁纸, as the tests choose them
#   scripts/windows-ci.ps1 uninstall        uninstall silently; the garden's folder must stay
#   scripts/windows-ci.ps1 msvc             build program, tools and tests with MSVC; run the tests that need no Wine
param([Parameter(Mandatory)][string]$Step, [string]$Name = 'check')
$ErrorActionPreference = 'Stop'
Set-Location (Split-Path -Parent $PSScriptRoot)

$installed = Join-Path $env:LOCALAPPDATA 'Programs\Verdalune'
$garden = Join-Path $env:LOCALAPPDATA 'Verdalune'
$uninstallKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\Verdalune'

Add-Type -Namespace Win -Name User -MemberDefinition @'
[DllImport("user32.dll", CharSet = CharSet.Unicode)] public static extern IntPtr FindWindowW(string type, string title);
[DllImport("user32.dll")] public static extern bool PostMessageW(IntPtr window, uint message, IntPtr w, IntPtr l);
[DllImport("user32.dll")] public static extern bool IsWindowVisible(IntPtr window);
'@

function WaitFor([scriptblock]$ready, [int]$seconds, [string]$what) {
    $until = (Get-Date).AddSeconds($seconds)
    while (-not (& $ready)) {
        if ((Get-Date) -gt $until) { throw "timed out after $seconds s: $what" }
        Start-Sleep -Milliseconds 250
    }
}

function Owner { [Win.User]::FindWindowW('VerdaluneGardenWindow', 'Verdalune 菜单') }

# As the tests do: the tray icon's callback with a right-button release opens
# the menu; the keyboard chooses the item.
function ChooseFromTray([int]$index) {
    [void][Win.User]::PostMessageW((Owner), 0x8001, [IntPtr]1, [IntPtr]0x0205)
    WaitFor { $m = [Win.User]::FindWindowW('#32768', $null); $m -ne [IntPtr]::Zero -and [Win.User]::IsWindowVisible($m) } 10 'the tray menu'
    $menu = [Win.User]::FindWindowW('#32768', $null)
    foreach ($vk in @(@(0x28) * ($index + 1) + 0x0D)) {
        [void][Win.User]::PostMessageW($menu, 0x0100, [IntPtr]$vk, [IntPtr]0)
        [void][Win.User]::PostMessageW($menu, 0x0101, [IntPtr]$vk, [IntPtr]0xC0000000)
    }
}

switch ($Step) {
    'resolution' {
        if (Get-Command Set-DisplayResolution -ErrorAction SilentlyContinue) {
            try { Set-DisplayResolution -Width 1920 -Height 1080 -Force } catch { Write-Host "::warning::the resolution stays: $_" }
        } else {
            Write-Host '::warning::no Set-DisplayResolution on this image: the resolution stays'
        }
    }
    'install' {
        $setup = Get-ChildItem dist\*-setup.exe | Select-Object -First 1
        Start-Process -Wait -FilePath $setup.FullName -ArgumentList '/S'
        if (-not (Test-Path (Join-Path $installed 'verdalune.exe'))) { throw "not installed in $installed" }
    }
    'start' {
        Start-Process -FilePath (Join-Path $installed 'verdalune.exe') -WorkingDirectory $installed
        WaitFor { (Owner) -ne [IntPtr]::Zero } 30 'the program''s windows'
    }
    'check' {
        $out = Join-Path 'reports' $Name
        & dist\desktop-check.exe --wait 60 --out $out
        exit $LASTEXITCODE
    }
    'tray' {
        ChooseFromTray 0  # 种下今天: the editor in front
        Start-Sleep -Seconds 5
        ChooseFromTray 2  # 回到壁纸
        Start-Sleep -Seconds 5
    }
    'uninstall' {
        $uninstaller = Join-Path $installed 'uninstall.exe'
        Start-Process -Wait -FilePath $uninstaller -ArgumentList '/S'
        # The silent uninstaller returns at once and finishes from a copy.
        WaitFor { -not (Test-Path $uninstallKey) -and -not (Test-Path (Join-Path $installed 'verdalune.exe')) } 60 'the uninstall'
        if (-not (Test-Path $garden)) { throw "the garden's folder $garden is gone" }
        Write-Host "uninstalled; the garden's folder is kept: $garden"
    }
    'msvc' {
        # doctest, pinned; Debian's package gives it to the Linux build.
        $doctest = Join-Path (Get-Location) 'build-msvc\doctest'
        New-Item -ItemType Directory -Force $doctest | Out-Null
        Invoke-WebRequest -Uri 'https://raw.githubusercontent.com/doctest/doctest/v2.4.11/doctest/doctest.h' -OutFile (Join-Path $doctest 'doctest.h')
        cmake --preset msvc -DBUILD_TESTING=ON "-DDOCTEST_DIR=$doctest"
        if ($LASTEXITCODE) { exit $LASTEXITCODE }
        cmake --build --preset msvc
        if ($LASTEXITCODE) { exit $LASTEXITCODE }
        Write-Host 'Skipped here, as they need Wine (its desktop, tray record and prefix), Node and Chromium, or the Linux release build:'
        ctest --test-dir build-msvc -L wine -N
        ctest --test-dir build-msvc -LE wine --output-on-failure
        exit $LASTEXITCODE
    }
    default { throw "unknown step: $Step" }
}
