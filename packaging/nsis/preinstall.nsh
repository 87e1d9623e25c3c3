  ; A service of an earlier installation holds the program open and would go on
  ; running the old version: stop and remove it before the files are replaced.
  IfFileExists "$INSTDIR\Tillerbrook.exe" 0 tb_no_old_service
    !insertmacro TB_REMOVE_SERVICE
  tb_no_old_service:
