# The steps that .github/workflows/windows.yml runs on a real Windows machine,
# one per call, from the repository's root. They need Windows (PowerShell 7),
# so none of them runs on the Linux machine the project is built on; the
# check itself, desktop-check.exe, is tested there under Wine. Every wait has
# a limit.
#
#   scripts/windows-ci.ps1 resolution       ask for 1920x1080 where the image allows; say what the display is
#   scripts/windows-ci.ps1 install          install dist\*-setup.exe silently, per user; fails on its exit code
#   scripts/windows-ci.ps1 start            display and sleep timeouts off; start the program through the shell
#   scripts/windows-ci.ps1 check NAME       dist\desktop-check.exe --wait 60 into reports\NAME; fails unless "seen"
#   scripts/windows-ci.ps1 tray             desktop-check chooses 种下今天 (window mode), then 回到壁纸 (the wall)
#   scripts/windows-ci.ps1 uninstall        uninstall silently; the garden's folder must stay
#   scripts/windows-ci.ps1 msvc             build program, tools and tests with MSVC; run the tests that need no Wine
param([Parameter(Mandatory)][string]$Step, [string]$Name = 'check')
$ErrorActionPreference = 'Stop'
Set-Location (Split-Path -Parent $PSScriptRoot)

$installed = Join-Path $env:LOCALAPPDATA 'Programs\Verdalune'
$program = Join-Path $installed 'verdalune.exe'
$garden = Join-Path $env:LOCALAPPDATA 'Verdalune'
$uninstallKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\Verdalune'

function WaitFor([scriptblock]$ready, [int]$seconds, [string]$what) {
    $until = (Get-Date).AddSeconds($seconds)
    while (-not (& $ready)) {
        if ((Get-Date) -gt $until) { throw "timed out after $seconds s: $what" }
        Start-Sleep -Milliseconds 250
    }
}

# Runs a program and waits for it alone, not for what it starts, within a
# limit; returns its exit code. (Start-Process -Wait waits for every
# descendant, and a setup may start the program.)
function RunWithin([string]$file, [string[]]$arguments, [int]$seconds) {
    $process = Start-Process -FilePath $file -ArgumentList $arguments -PassThru
    $null = $process.Handle  # held now, or the exit code is lost once it ends
    if (-not $process.WaitForExit($seconds * 1000)) { throw "timed out after $seconds s: $file" }
    return $process.ExitCode
}

switch ($Step) {
    'resolution' {
        if (Get-Command Set-DisplayResolution -ErrorAction SilentlyContinue) {
            try { Set-DisplayResolution -Width 1920 -Height 1080 -Force } catch { Write-Host "::warning::Set-DisplayResolution failed: $_" }
        } else {
            Write-Host '::warning::no Set-DisplayResolution on this image'
        }
        Add-Type -Namespace Win -Name Screen -MemberDefinition @'
[DllImport("user32.dll")] public static extern bool SetProcessDPIAware();
[DllImport("user32.dll")] public static extern int GetSystemMetrics(int index);
'@
        [void][Win.Screen]::SetProcessDPIAware()
        $size = '{0}x{1}' -f [Win.Screen]::GetSystemMetrics(0), [Win.Screen]::GetSystemMetrics(1)
        Write-Host "::notice::the primary display is $size (asked for 1920x1080); desktop-check's reports say it again"
    }
    'install' {
        $setup = Get-ChildItem dist\*-setup.exe | Select-Object -First 1
        $code = RunWithin $setup.FullName @('/S') 120
        if ($code -ne 0) { throw "the setup exited with $code" }
        if (-not (Test-Path $program)) { throw "not installed in $installed" }
    }
    'start' {
        # The display counting as off would rest the garden as soon as it is
        # placed, and the check would read "not seen" for that.
        powercfg /change monitor-timeout-ac 0
        if ($LASTEXITCODE) { Write-Host "::warning::powercfg monitor-timeout-ac: $LASTEXITCODE" }
        powercfg /change standby-timeout-ac 0
        if ($LASTEXITCODE) { Write-Host "::warning::powercfg standby-timeout-ac: $LASTEXITCODE" }
        # As a person starts it: through the shell, at Explorer's integrity
        # level, not elevated as this step is. desktop-check reports both.
        Start-Process -FilePath explorer.exe -ArgumentList "`"$program`""
        WaitFor { Get-Process -Name verdalune -ErrorAction SilentlyContinue } 30 'the program''s process'
    }
    'check' {
        $out = Join-Path 'reports' $Name
        & dist\desktop-check.exe --wait 60 --out $out
        exit $LASTEXITCODE
    }
    'tray' {
        # Each choice is checked by where the garden went: in front as a
        # window, then back in its place on the wall.
        & dist\desktop-check.exe --choose 种下今天 --mode window --wait 20 --out reports\tray-plant
        $plant = $LASTEXITCODE
        & dist\desktop-check.exe --choose 回到壁纸 --mode wall --wait 20 --out reports\tray-wall
        $wall = $LASTEXITCODE
        if ($plant) { exit $plant }
        exit $wall
    }
    'uninstall' {
        # The silent uninstaller starts a copy of itself and returns at once:
        # its code says whether that copy started; the files say the rest.
        $code = RunWithin (Join-Path $installed 'uninstall.exe') @('/S') 60
        if ($code -ne 0) { throw "the uninstaller exited with $code" }
        WaitFor { -not (Test-Path $uninstallKey) -and -not (Test-Path $program) } 60 'the uninstall'
        if (-not (Test-Path $garden)) { throw "the garden's folder $garden is gone" }
        Write-Host "uninstalled; the garden's folder is kept: $garden"
    }
    'msvc' {
        # doctest, pinned; Debian's package gives it to the Linux build.
        $doctest = Join-Path (Get-Location) 'build-msvc\doctest'
        New-Item -ItemType Directory -Force $doctest | Out-Null
        Invoke-WebRequest -TimeoutSec 60 -Uri 'https://raw.githubusercontent.com/doctest/doctest/v2.4.11/doctest/doctest.h' -OutFile (Join-Path $doctest 'doctest.h')
        cmake --preset msvc -DBUILD_TESTING=ON "-DDOCTEST_DIR=$doctest"
        if ($LASTEXITCODE) { exit $LASTEXITCODE }
        cmake --build --preset msvc
        if ($LASTEXITCODE) { exit $LASTEXITCODE }
        Write-Host 'Skipped here, as they need Wine (its desktop, tray record and prefix), Node and Chromium, or the Linux release build:'
        ctest --test-dir build-msvc -C Release -L wine -N
        ctest --preset msvc
        exit $LASTEXITCODE
    }
    default { throw "unknown step: $Step" }
}
