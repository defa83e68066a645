<#
.SYNOPSIS
    Installs lan2com on a station that runs unattended.

.DESCRIPTION
    Run it from the unpacked lan2com folder, in a PowerShell started "as administrator":

        powershell -ExecutionPolicy Bypass -File .\install.ps1 [-Account DOMAIN\user] [-DryRun]

    1. copies the folder's files to "Program Files\lan2com" (a running lan2com is not touched:
       close it first);
    2. lets the program receive UDP datagrams through Windows Firewall (an inbound rule
       "lan2com UDP in" for lan2com.exe, every profile): the prompt that Windows shows a new
       program would wait for nobody on an unattended station;
    3. registers the event source "lan2com" in the Application log, where lan2com writes its
       start-up failures;
    4. registers the scheduled task "lan2com" that starts the program at the logon of the
       station's account (-Account, default: the account running this script) with that
       account's highest rights, and starts it again within a minute when it ends by a failure.

    Running it again replaces the files, the rule and the task. -DryRun changes nothing and
    prints every command it would run, and the task's definition. uninstall.ps1 undoes it all.
#>
[CmdletBinding()]
param(
    # The account that logs on at the station and runs lan2com (DOMAIN\user or COMPUTER\user).
    [string]$Account = "$env:USERDOMAIN\$env:USERNAME",
    # Where the program goes.
    [string]$InstallDir = (Join-Path $env:ProgramFiles 'lan2com'),
    # Print the commands instead of running them.
    [switch]$DryRun
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'

$TaskName = 'lan2com'
$RuleName = 'lan2com UDP in'
$EventSourceKey = 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lan2com'
# The message file of the .NET Framework that every Windows 10 and 11 has: it shows an entry's
# text as it was written.
$EventMessageFile = '%SystemRoot%\Microsoft.NET\Framework64\v4.0.30319\EventLogMessages.dll'
$Program = Join-Path $InstallDir 'lan2com.exe'

# Quotes one argument for the printed command line as the program will receive it.
function Format-Argument([string]$Text) {
    if ($Text -match '[\s"]') { return '"' + ($Text -replace '"', '\"') + '"' }
    return $Text
}

# Runs a Windows command (or prints it with -DryRun) and fails on a non-zero exit status.
function Invoke-Native([string]$Exe, [string[]]$Arguments) {
    $line = (@($Exe) + ($Arguments | ForEach-Object { Format-Argument $_ })) -join ' '
    if ($DryRun) {
        Write-Output "dry-run: $line"
        return
    }
    Write-Output "> $line"
    & $Exe @Arguments
    if ($LASTEXITCODE -ne 0) {
        throw "failed with exit status ${LASTEXITCODE}: $line"
    }
}

# Runs a PowerShell step (or prints what it does with -DryRun).
function Invoke-Step([string]$Text, [scriptblock]$Action) {
    if ($DryRun) {
        Write-Output "dry-run: $Text"
        return
    }
    Write-Output "> $Text"
    & $Action
}

$source = $PSScriptRoot
if (-not (Test-Path (Join-Path $source 'lan2com.exe'))) {
    throw "lan2com.exe is not beside install.ps1 ($source): run the script from the unpacked folder"
}
if (-not $DryRun) {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        throw 'Start PowerShell "as administrator" to install lan2com'
    }
    if (Get-Process -Name lan2com -ErrorAction SilentlyContinue) {
        throw 'lan2com is running: close it (its close button, then "Yes" to its question), then install'
    }
}

# 1. The program (unless the script runs from the installed folder itself).
$sameFolder = (Test-Path $InstallDir) -and
    ((Resolve-Path $source).Path.TrimEnd('\') -eq (Resolve-Path $InstallDir).Path.TrimEnd('\'))
if ($sameFolder) {
    Write-Output "The files are already in $InstallDir."
} else {
    Invoke-Step "New-Item -ItemType Directory -Force -Path $(Format-Argument $InstallDir)" {
        New-Item -ItemType Directory -Force -Path $InstallDir | Out-Null
    }
    Invoke-Step "Copy-Item -Recurse -Force -Path $(Format-Argument "$source\*") -Destination $(Format-Argument $InstallDir)" {
        Copy-Item -Recurse -Force -Path (Join-Path $source '*') -Destination $InstallDir
    }
}

# 2. The firewall: one inbound UDP rule for the program (every profile), replacing an earlier one.
Invoke-Step "Remove-NetFirewallRule -DisplayName $(Format-Argument $RuleName) (when there is one)" {
    Get-NetFirewallRule -DisplayName $RuleName -ErrorAction SilentlyContinue | Remove-NetFirewallRule
}
Invoke-Step ("New-NetFirewallRule -DisplayName $(Format-Argument $RuleName) -Direction Inbound " +
    "-Action Allow -Protocol UDP -Program $(Format-Argument $Program) -Profile Any -Enabled True") {
    New-NetFirewallRule -DisplayName $RuleName -Direction Inbound -Action Allow -Protocol UDP `
        -Program $Program -Profile Any -Enabled True | Out-Null
}

# 3. The event source.
Invoke-Native 'reg.exe' @('add', $EventSourceKey, '/v', 'EventMessageFile', '/t', 'REG_EXPAND_SZ',
    '/d', $EventMessageFile, '/f')
Invoke-Native 'reg.exe' @('add', $EventSourceKey, '/v', 'TypesSupported', '/t', 'REG_DWORD',
    '/d', '7', '/f')

# 4. The scheduled task, from its definition beside this script.
$template = Get-Content -Raw -Encoding UTF8 -Path (Join-Path $source 'lan2com-task.xml')
$definition = $template.Replace('@ACCOUNT@', [Security.SecurityElement]::Escape($Account))
$definition = $definition.Replace('@PROGRAM@', [Security.SecurityElement]::Escape($Program))
$taskFile = Join-Path ([IO.Path]::GetTempPath()) 'lan2com-task.xml'
if ($DryRun) {
    Write-Output "dry-run: the task's definition, written to $taskFile in UTF-16:"
    Write-Output $definition
} else {
    # schtasks reads the definition in the encoding that its first line declares: UTF-16.
    Set-Content -Path $taskFile -Value $definition -Encoding Unicode
}
Invoke-Native 'schtasks.exe' @('/Create', '/TN', $TaskName, '/XML', $taskFile, '/F')
Invoke-Step "Remove-Item $(Format-Argument $taskFile)" { Remove-Item -Force -Path $taskFile }

Write-Output ''
Write-Output "lan2com is installed in $InstallDir and starts at the logon of $Account."
Write-Output 'Set up the automatic logon of that account and keep the machine awake: see README.txt.'
Write-Output "Start it now without logging off: schtasks /Run /TN $TaskName"
