CreateKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor")
MoveKey("\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen\Settings" "\REGISTRY\MACHINE\SOFTWARE\Brightlark\Lumen Editor\Settings", false)
