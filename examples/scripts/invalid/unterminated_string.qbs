DeleteFile("\??\C:\Program Files\Brightlark\Lumen Editor\lumencore.dll)
RemoveDir("\??\C:\Program Files\Brightlark\Lumen Editor", true, true)
