; Script-wide definitions: the uninstaller reads its command line with FileFunc,
; and the last page says what the setup program does not ship.
!include FileFunc.nsh
!define MUI_FINISHPAGE_TEXT "Tillerbrook is installed in $INSTDIR and runs as the service Orv_Tillerbrook (HTTP on port 3806).$\r$\n$\r$\nPut the print program SumatraPDF.exe and the close helper Kestrelend.exe into $INSTDIR; without them nothing prints.$\r$\n$\r$\nStatus page: http://127.0.0.1:3806/"

; Stops and removes the service Orv_Tillerbrook through the program, then
; waits until the service manager has really dropped it: a service that could
; not take the stop (it was still starting) is only marked for deletion and
; keeps running with its program open. Such a one is stopped again until it
; is gone, for at most a minute.
!macro TB_REMOVE_SERVICE
  nsExec::ExecToLog '"$INSTDIR\Tillerbrook.exe" /uninstall'
  Pop $0
  StrCpy $1 0
  tb_wait_service_gone:
    nsExec::Exec '"$SYSDIR\sc.exe" query Orv_Tillerbrook'
    Pop $0
    StrCmp $0 "0" 0 tb_service_gone
    nsExec::Exec '"$SYSDIR\sc.exe" stop Orv_Tillerbrook'
    Pop $0
    nsExec::Exec '"$SYSDIR\sc.exe" delete Orv_Tillerbrook'
    Pop $0
    IntOp $1 $1 + 1
    IntCmp $1 120 tb_service_gone
    Sleep 500
    Goto tb_wait_service_gone
  tb_service_gone:
!macroend
