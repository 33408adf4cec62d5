DeleteFile("\??\C:\Program Files\Brightlark\Lumen Editor\lumencore.dll")
DeleteFile("\??\C:\Windows\System32\drivers\lumenflt.sys")
RemoveDir("\??\C:\Program Files\Brightlark\Lumen Editor", true, true)

DeleteKeyValue("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Shared", "LumenEditor")
DeleteKey("\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\LumenFlt", true)
DeleteKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor", true)
