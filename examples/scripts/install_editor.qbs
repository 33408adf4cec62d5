CreateDir("\??\C:\Program Files\Brightlark\Lumen Editor\plugins")
CopyFile("\??\C:\Windows\Temp\LumenSetup\lumen.exe", "\??\C:\Program Files\Brightlark\Lumen Editor\lumen.exe", true)
MoveFile("\??\C:\Windows\Temp\LumenSetup\lumencore.dll", "\??\C:\Program Files\Brightlark\Lumen Editor\lumencore.dll", true)
CopyDir("\??\C:\Windows\Temp\LumenSetup\plugins", "\??\C:\Program Files\Brightlark\Lumen Editor\plugins", false)

CreateKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor")
SetKeyValue("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Setup\Staging", "InstallDir", "\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor", "InstallDir", true, true)
CopyKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Setup\Staging\FileTypes", "\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor\FileTypes", false)
