  ; Stop and remove the service before its program is deleted.
  !insertmacro TB_REMOVE_SERVICE
  ; The print history, the settings and the logs are the operator's data: asked
  ; for, kept in a silent uninstall unless /PURGE is given.
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/PURGE" $R1
  IfErrors 0 tb_delete_data
  MessageBox MB_YESNO|MB_ICONQUESTION "Also delete the print history and settings (database.db), the logs and the document cache in $INSTDIR?" /SD IDNO IDNO tb_keep_data
  tb_delete_data:
    Delete "$INSTDIR\database.db"
    Delete "$INSTDIR\database.db-journal"
    Delete "$INSTDIR\database.db-wal"
    Delete "$INSTDIR\database.db-shm"
    Delete "$INSTDIR\allow-origins.txt"
    RMDir /r "$INSTDIR\logs"
    RMDir /r "$INSTDIR\sumatrapdfcache"
  tb_keep_data:
