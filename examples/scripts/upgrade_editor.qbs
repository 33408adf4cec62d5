RenameFile("\??\C:\Program Files\Brightlark\Lumen Editor\lumen.ini", "lumen.ini.v2", true)
MoveDir("\??\C:\ProgramData\Brightlark\Lumen\Cache", "\??\C:\ProgramData\Brightlark\Lumen Editor\Cache", false)
RenameDir("\??\C:\Program Files\Brightlark\Lumen Editor\extensions", "plugins-v2", false)

MoveKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen\Settings", "\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor\Settings", false)
RenameKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor\Recent", "RecentFiles", true)
RenameValue("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor", "Path", "InstallDir", false)
