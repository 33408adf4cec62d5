DeleteKeyValue("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Shared", "LumenEditor") DeleteKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor", true)
