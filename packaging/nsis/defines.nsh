; Script-wide definitions: the uninstaller reads its command line with FileFunc,
; and the last page says what the setup program does not ship.
!include FileFunc.nsh
!define MUI_FINISHPAGE_TEXT "Tillerbrook is installed in $INSTDIR and runs as the service Orv_Tillerbrook (HTTP on port 3806).$\r$\n$\r$\nPut the print program SumatraPDF.exe and the close helper Kestrelend.exe into $INSTDIR; without them nothing prints. When the folder has no pdfium.dll, put one there too: PDFs are then fitted to the label.$\r$\n$\r$\nStatus page: http://127.0.0.1:3806/"
