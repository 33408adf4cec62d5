CopyFile("\??\C:\Windows\Temp\LumenSetup\lumen.exe", "\??\C:\Program Files\Brightlark\Lumen Editor\lumen.exe", "true")
