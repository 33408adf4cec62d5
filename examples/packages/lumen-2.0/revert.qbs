MoveFile("\??\C:\Program Files\Brightlark\Lumen Editor\lumen.exe.1.4", "\??\C:\Program Files\Brightlark\Lumen Editor\lumen.exe", true)
MoveFile("\??\C:\Program Files\Brightlark\Lumen Editor\lumencore.dll.1.4", "\??\C:\Program Files\Brightlark\Lumen Editor\lumencore.dll", true)
SetKeyValue("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor 1.4", "Version", "\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor", "Version", true, false)
DeleteKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor 1.4", true)
