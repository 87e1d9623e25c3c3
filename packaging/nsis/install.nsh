  ; Origins handed over as /ORIGIN=https://shop.example,http://erp.local:8080
  ; go into a file the service lists and removes at its start: the setup
  ; program runs nothing from the folder, so it cannot call /allow-origin.
  ; GetOptions would cut the value at its first "/", so the value is the
  ; text between "/ORIGIN=" and the next space.
  ${GetParameters} $R0
  ClearErrors
  ${WordFind2X} "$R0 " "/ORIGIN=" " " "E+1" $R1
  ${IfNot} ${Errors}
    FileOpen $2 "$INSTDIR\allow-origins.txt" w
    ${If} ${Errors}
      DetailPrint "The origins of /ORIGIN= could not be handed over to the service."
    ${Else}
      FileWrite $2 "$R1"
      FileClose $2
    ${EndIf}
  ${EndIf}
  ; The service is registered with the system's sc.exe, as the program's own
  ; /install does (automatic start, LocalSystem, restart on failure); the
  ; setup program runs nothing from the folder.
  nsExec::ExecToLog '"$SYSDIR\sc.exe" create Orv_Tillerbrook binPath= "\"$INSTDIR\Tillerbrook.exe\"" start= auto DisplayName= Orv_Tillerbrook'
  Pop $0
  ${If} $0 != "0"
    DetailPrint "Registering the service Orv_Tillerbrook failed (exit code $0)."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The service Orv_Tillerbrook could not be registered (exit code $0)." /SD IDOK
    SetErrorLevel 2
  ${Else}
    nsExec::ExecToLog '"$SYSDIR\sc.exe" description Orv_Tillerbrook "Orv label print daemon (HTTP on port 3806)."'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\sc.exe" failure Orv_Tillerbrook reset= 86400 actions= restart/5000/restart/15000/restart/60000'
    Pop $0
    ; Also after a stop with an error code (the program's own failures).
    nsExec::ExecToLog '"$SYSDIR\sc.exe" failureflag Orv_Tillerbrook 1'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\sc.exe" start Orv_Tillerbrook'
    Pop $0
    ${If} $0 != "0"
      DetailPrint "Starting the service Orv_Tillerbrook failed (exit code $0)."
    ${EndIf}
  ${EndIf}
