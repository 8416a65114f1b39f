; The player's built-in start-up script: greets and names the version.
; Statement: consolewrite "Quillon " var_quillon " is ready: no script was named."
"startup.qns" LINE_TAIL#1
  " is ready: no script was named."  TAIL var_quillon CALL  "Quillon "
  consolewrite CALL
