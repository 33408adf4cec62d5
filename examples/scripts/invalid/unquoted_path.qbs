DeleteFile(\??\C:\Windows\System32\drivers\lumenflt.sys)
