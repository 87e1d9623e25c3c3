  ; Before anything lands in the folder or runs from it: an old service (from
  ; here or elsewhere) goes, and the folder gets its access list.
  !insertmacro TB_REMOVE_SERVICE
  !insertmacro TB_SECURE "$INSTDIR" "${TB_SDDL_FOLDER}"
  CreateDirectory "$INSTDIR\logs"
  !insertmacro TB_SECURE "$INSTDIR\logs" "${TB_SDDL_PRIVATE_FOLDER}"
  CreateDirectory "$INSTDIR\sumatrapdfcache"
  !insertmacro TB_SECURE "$INSTDIR\sumatrapdfcache" "${TB_SDDL_FOLDER}"
  ; An empty file is an empty database to SQLite: made here so that it is
  ; private before the service writes the first row.
  ${IfNot} ${FileExists} "$INSTDIR\database.db"
    FileOpen $2 "$INSTDIR\database.db" w
    FileClose $2
  ${EndIf}
  !insertmacro TB_SECURE "$INSTDIR\database.db" "${TB_SDDL_PRIVATE_FILE}"
