# Runs the built detection script as deployment tools run it, under 64-bit
# and 32-bit Windows PowerShell, against hosts that the built installer has
# just installed into, and checks its answer in each case. In every case it
# is expected to meet, the script must write nothing to standard error.
# Windows only, elevated (it writes the host's registry key of the local
# machine, which must not exist before):
#
#   pwsh -File tests/detection_script_test.ps1 PROGRAMS_DIR
param([Parameter(Mandatory = $true)][string]$Programs)
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version Latest

$installer = (Resolve-Path (Join-Path $Programs 'HebrewOcrPack.exe')).Path
$script = (Resolve-Path (Join-Path $Programs 'Detect-HebrewOcrPack.ps1')).Path
$shells = [ordered]@{
  '64-bit' = "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe"
  '32-bit' = "$env:SystemRoot\SysWOW64\WindowsPowerShell\v1.0\powershell.exe"
}
$settings = 'SOFTWARE\Quarn\Paginor\CV\Settings'
$work = Join-Path ([System.IO.Path]::GetTempPath()) 'hebrew-ocr-detection'

# A value of the registry's REG_SZ type with exactly the given bytes, which
# .NET cannot write: it always adds the terminating zero.
Add-Type -TypeDefinition @'
using System;
using System.Runtime.InteropServices;
public static class RawRegistryValue {
  [DllImport("advapi32.dll", CharSet = CharSet.Unicode)]
  public static extern int RegSetValueExW(IntPtr key, string name,
    int reserved, int type, byte[] data, int size);
}
'@

function Open-Settings([string]$view) {
  $root = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', $view)
  return $root.CreateSubKey($settings)
}

function Clear-Hosts {
  foreach ($view in 'Registry64', 'Registry32') {
    $root = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', $view)
    $root.DeleteSubKeyTree('SOFTWARE\Quarn', $false)
  }
}

# Registers $value as installpath in the registry view $view ('Registry64' or
# 'Registry32'): a string, of $kind String or ExpandString, or the raw bytes
# of a REG_SZ value.
function Set-InstallPath([string]$view, $value, [string]$kind = 'String') {
  $key = Open-Settings $view
  try {
    if ($value -is [byte[]]) {
      $status = [RawRegistryValue]::RegSetValueExW(
        $key.Handle.DangerousGetHandle(), 'installpath', 0, 1, $value,
        $value.Length)
      if ($status -ne 0) { throw "RegSetValueExW failed with $status" }
    } else {
      $key.SetValue('installpath', $value, $kind)
    }
  } finally {
    $key.Dispose()
  }
}

# A new host folder with its resources folder; returns its path with a
# trailing backslash, as the host stores it.
function New-HostFolder([string]$name) {
  $folder = Join-Path $work $name
  New-Item -ItemType Directory -Force -Path "$folder\IRIS_OCR\resources" |
    Out-Null
  return "$folder\"
}

function Install-Pack {
  $said = & $installer
  if ($LASTEXITCODE -ne 0) {
    throw "the installer exited with $LASTEXITCODE, saying: $said"
  }
}

# Runs the detection script under the PowerShell $shell, as the deployment
# tools do; gives its exit status, what it wrote to standard output and to
# standard error.
function Invoke-Detection([string]$shell) {
  $errors = Join-Path $work 'stderr.txt'
  Remove-Item -LiteralPath $errors -ErrorAction SilentlyContinue
  $said = & $shells[$shell] -NoProfile -NonInteractive -ExecutionPolicy `
    Bypass -File $script 2>$errors
  $status = $LASTEXITCODE
  $errorText = ''
  if (Test-Path -LiteralPath $errors) {
    $errorText = [System.IO.File]::ReadAllText($errors)
  }
  return [pscustomobject]@{
    Status = $status
    Said   = ($said | Out-String).Trim()
    Errors = $errorText
  }
}

# Runs the detection script under each PowerShell and checks that it said
# "installed" or nothing, exited with 0 and wrote nothing to standard error.
function Assert-Detection([string]$case, [bool]$installed) {
  foreach ($shell in $shells.Keys) {
    $run = Invoke-Detection $shell
    if ($run.Status -ne 0 -or $run.Errors) {
      throw "${case}, ${shell}: exit status $($run.Status), standard error: $($run.Errors)"
    }
    if ($installed -and
      $run.Said -notmatch '^Hebrew OCR pack [0-9.]+ installed$') {
      throw "${case}, ${shell}: not detected (it said '$($run.Said)')"
    }
    if (-not $installed -and $run.Said) {
      throw "${case}, ${shell}: detected when it must not be (it said '$($run.Said)')"
    }
    $answer = if ($installed) { $run.Said } else { 'not installed' }
    Write-Output "${case}, ${shell}: $answer"
  }
}

foreach ($view in 'Registry64', 'Registry32') {
  $root = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', $view)
  if ($root.OpenSubKey('SOFTWARE\Quarn')) {
    throw "a host is registered here, in the $view view"
  }
}
Remove-Item -Recurse -Force -LiteralPath $work -ErrorAction SilentlyContinue
New-Item -ItemType Directory -Path $work | Out-Null
try {
  Assert-Detection 'no host registered' $false

  $plain = New-HostFolder 'plain'
  Set-InstallPath 'Registry64' $plain
  Install-Pack
  Assert-Detection 'installed' $true
  $held = [System.IO.File]::Open("${plain}IRIS_OCR\resources\heb.ilex",
    'Open', 'Read', 'None')
  try {
    Assert-Detection 'a file held by another program' $false
  } finally {
    $held.Dispose()
  }
  Add-Content -LiteralPath "${plain}IRIS_OCR\resources\heb.ilex" -Value 'changed'
  Assert-Detection 'one file changed' $false
  Install-Pack
  Remove-Item -LiteralPath "${plain}IRIS_OCR\resources\hebrew.ocr"
  Assert-Detection 'one file missing' $false
  Clear-Hosts

  # The 32-bit view is read only when the 64-bit read fails; an empty value
  # in the 64-bit view decides: no host.
  $only32 = New-HostFolder 'only-32-bit'
  Set-InstallPath 'Registry32' $only32
  Install-Pack
  Assert-Detection 'the value only in the 32-bit view' $true
  Set-InstallPath 'Registry64' ''
  Assert-Detection 'an empty 64-bit value beside a 32-bit host' $false

  # 260 characters stored without a zero do not end within the installer's
  # buffer: it reads the 32-bit view instead, and so must the script.
  $unterminated = 'C:\' + ('u' * 257)
  Set-InstallPath 'Registry64' ([System.Text.Encoding]::Unicode.GetBytes(
      $unterminated))
  Install-Pack
  Assert-Detection 'a 260-character 64-bit value without its zero' $true
  Clear-Hosts

  # A REG_EXPAND_SZ value is used as stored: the folder is named
  # %HEBREW_OCR_DETECTION%, and the variable names another folder.
  $literal = New-HostFolder '%HEBREW_OCR_DETECTION%'
  $env:HEBREW_OCR_DETECTION = 'expanded'
  New-HostFolder 'expanded' | Out-Null
  try {
    Set-InstallPath 'Registry64' $literal 'ExpandString'
    Install-Pack
    if (-not (Test-Path -LiteralPath "${literal}IRIS_OCR\resources\heb.ilex")) {
      throw 'the installer expanded the value'
    }
    Assert-Detection 'a REG_EXPAND_SZ value, not expanded' $true
  } finally {
    Remove-Item Env:\HEBREW_OCR_DETECTION
  }
  Clear-Hosts

  # A host path of about 250 characters: the files' paths pass 260.
  $long = New-HostFolder ('long-' + ('l' * (248 - $work.Length - 6)))
  if ($long.Length -lt 240 -or $long.Length -gt 259) {
    throw "the long host path has $($long.Length) characters"
  }
  Set-InstallPath 'Registry64' $long
  Install-Pack
  Assert-Detection "a host path of $($long.Length) characters" $true

  # Under Constrained Language Mode the script cannot read the registry as
  # the installer does: it must fail, saying so, and not answer. Windows
  # PowerShell reads its lockdown test setting from the machine's
  # environment only; this PowerShell has read its own already.
  [Environment]::SetEnvironmentVariable('__PSLockdownPolicy', '4', 'Machine')
  try {
    $mode = & $shells['64-bit'] -NoProfile -NonInteractive -Command `
      '$ExecutionContext.SessionState.LanguageMode'
    if ("$mode".Trim() -ne 'ConstrainedLanguage') {
      throw "PowerShell did not start in Constrained Language Mode: $mode"
    }
    foreach ($shell in $shells.Keys) {
      # PowerShell wraps its error lines where the width runs out, so the
      # message is looked for with all white space taken out.
      $run = Invoke-Detection $shell
      if ($run.Status -ne 1 -or $run.Said -or
        ($run.Errors -replace '\s', '') -notmatch 'needsFullLanguagemode') {
        throw "Constrained Language Mode, ${shell}: exit status " +
          "$($run.Status), said '$($run.Said)', standard error: $($run.Errors)"
      }
      Write-Output "Constrained Language Mode, ${shell}: exit 1, as the guide says"
    }
  } finally {
    [Environment]::SetEnvironmentVariable('__PSLockdownPolicy', $null,
      'Machine')
  }
} finally {
  Clear-Hosts
  Remove-Item -Recurse -Force -LiteralPath $work -ErrorAction SilentlyContinue
}
# The last native command ran in Constrained Language Mode and exited with
# 1, as it must: the job reads the script's status from $LASTEXITCODE.
exit 0
