  ; The program registers its own service (automatic start, restart on failure).
  nsExec::ExecToLog '"$INSTDIR\Tillerbrook.exe" /install'
  Pop $0
  StrCmp $0 "0" tb_registered
    DetailPrint "Registering the service Orv_Tillerbrook failed (exit code $0)."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The service Orv_Tillerbrook could not be registered (exit code $0)." /SD IDOK
    SetErrorLevel 2
    Goto tb_service_done
  tb_registered:
  nsExec::ExecToLog '"$SYSDIR\sc.exe" start Orv_Tillerbrook'
  Pop $0
  StrCmp $0 "0" tb_service_done
    DetailPrint "Starting the service Orv_Tillerbrook failed (exit code $0)."
  tb_service_done:
