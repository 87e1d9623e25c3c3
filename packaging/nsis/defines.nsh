; Script-wide definitions: the setup program and the uninstaller read their
; command lines with FileFunc and WordFunc,
; and the last page says what the setup program does not ship.
!include FileFunc.nsh
!include WordFunc.nsh
!include LogicLib.nsh
!define MUI_FINISHPAGE_TEXT "Tillerbrook is installed in $INSTDIR and runs as the service Orv_Tillerbrook (HTTP on port 3806).$\r$\n$\r$\nPut the print program SumatraPDF.exe and the close helper Kestrelend.exe into $INSTDIR; without them nothing prints.$\r$\n$\r$\nStatus page: http://127.0.0.1:3806/"

; Access lists. The service runs as SYSTEM and loads libraries and programs
; from its folder, so only SYSTEM and Administrators may change it; users
; read and run what is there (the print program runs as them). The database
; and the logs hold print history and paths: not for other users.
!define TB_SDDL_FOLDER "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
!define TB_SDDL_PRIVATE_FOLDER "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
!define TB_SDDL_PRIVATE_FILE "O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)"

; Gives PATH the owner and protected access list of SDDL (nothing inherited
; from the parent). $0 = the Windows error code, 0 on success. Straight
; through the system's API: no program from the folder runs for it.
!macro TB_SET_SECURITY PATH SDDL
  StrCpy $0 1338  ; ERROR_INVALID_SECURITY_DESCR: the text was not taken
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${SDDL}", i 1, *p .r1, p 0) i .r2'
  ${If} $2 <> 0
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r3, *i .r4) i .r2'
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r4, *p .r5, *i .r6) i .r2'
    ; OWNER | DACL | PROTECTED_DACL security information
    System::Call 'advapi32::SetNamedSecurityInfoW(w "${PATH}", i 1, i 0x80000005, p r3, p 0, p r5, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
!macroend

; The same, and the installation ends when it fails: a folder others may
; change would let them run code as SYSTEM.
!macro TB_SECURE PATH SDDL
  !insertmacro TB_SET_SECURITY "${PATH}" "${SDDL}"
  ${If} $0 <> 0
    DetailPrint "Setting the access list of ${PATH} failed (Windows error $0)."
    MessageBox MB_OK|MB_ICONSTOP "The access list of ${PATH} could not be set (Windows error $0). Only SYSTEM and Administrators may change the folder the service runs from; choose a folder of its own, for example $PROGRAMFILES64\Tillerbrook." /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
  DetailPrint "Access list of ${PATH} set."
!macroend

; Stops and removes the service Orv_Tillerbrook with the system's sc.exe,
; wherever it was registered from (another folder, an earlier version), and
; waits until the service manager has really dropped it: a service that
; could not take the stop is only marked for deletion. No program from the
; folder runs for this. At most a minute.
!macro TB_REMOVE_SERVICE
  StrCpy $1 0
  ${Do}
    nsExec::Exec '"$SYSDIR\sc.exe" query Orv_Tillerbrook'
    Pop $0
    ${If} $0 != "0"
      ${Break}
    ${EndIf}
    nsExec::Exec '"$SYSDIR\sc.exe" stop Orv_Tillerbrook'
    Pop $0
    nsExec::Exec '"$SYSDIR\sc.exe" delete Orv_Tillerbrook'
    Pop $0
    IntOp $1 $1 + 1
    ${If} $1 >= 120
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
!macroend
