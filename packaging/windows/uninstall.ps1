<#
.SYNOPSIS
    Removes what install.ps1 set up: the scheduled task, the firewall rule, the event source and
    the program's folder in Program Files.

.DESCRIPTION
        powershell -ExecutionPolicy Bypass -File .\uninstall.ps1 [-DryRun]

    The stored channels (HKEY_LOCAL_MACHINE\SOFTWARE\Vesko) are kept: a new installation finds
    them. -DryRun changes nothing and prints every command it would run. A running lan2com is
    not touched: close it first.
#>
[CmdletBinding()]
param(
    [string]$InstallDir = (Join-Path $env:ProgramFiles 'lan2com'),
    [switch]$DryRun
)

Set-StrictMode -Version 3
$ErrorActionPreference = 'Stop'

$TaskName = 'lan2com'
$RuleName = 'lan2com UDP in'
$EventSourceKey = 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\lan2com'

function Format-Argument([string]$Text) {
    if ($Text -match '[\s"]') { return '"' + ($Text -replace '"', '\"') + '"' }
    return $Text
}

# Runs a Windows command (or prints it with -DryRun); what is already gone is no failure.
function Invoke-Native([string]$Exe, [string[]]$Arguments) {
    $line = (@($Exe) + ($Arguments | ForEach-Object { Format-Argument $_ })) -join ' '
    if ($DryRun) {
        Write-Output "dry-run: $line"
        return
    }
    Write-Output "> $line"
    & $Exe @Arguments
    if ($LASTEXITCODE -ne 0) {
        Write-Output "  (exit status ${LASTEXITCODE}: nothing to remove, or see above)"
    }
}

if (-not $DryRun) {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        throw 'Start PowerShell "as administrator" to remove lan2com'
    }
    if (Get-Process -Name lan2com -ErrorAction SilentlyContinue) {
        throw 'lan2com is running: close it (its close button, then "Yes" to its question), then remove it'
    }
}

Invoke-Native 'schtasks.exe' @('/Delete', '/TN', $TaskName, '/F')
if ($DryRun) {
    Write-Output "dry-run: Remove-NetFirewallRule -DisplayName $(Format-Argument $RuleName)"
} else {
    Write-Output "> Remove-NetFirewallRule -DisplayName $(Format-Argument $RuleName)"
    Get-NetFirewallRule -DisplayName $RuleName -ErrorAction SilentlyContinue | Remove-NetFirewallRule
}
Invoke-Native 'reg.exe' @('delete', $EventSourceKey, '/f')
if ($DryRun) {
    Write-Output "dry-run: Remove-Item -Recurse -Force -Path $(Format-Argument $InstallDir)"
} elseif (Test-Path $InstallDir) {
    Write-Output "> Remove-Item -Recurse -Force -Path $(Format-Argument $InstallDir)"
    Remove-Item -Recurse -Force -Path $InstallDir
}
Write-Output 'lan2com is removed; its stored channels are kept.'
