; tallowix.mrc: mIRC aliases for tallowix.dll. Unzip the package and load this
; script from where it lies: it calls x86\tallowix.dll beside it in mIRC and
; other 32-bit hosts, x64\tallowix.dll in 64-bit AdiIRC ($bits is 64).
; Load it with /load -rs tallowix.mrc (or through the Scripts Editor).
;
;   $crc32(file)               CRC-32 of the file, eight lower-case hex digits;
;                              ffffffff also when the file cannot be opened
;   $findcrc(size,crc,dir)     full path of the first file under dir with that
;                              size (decimal) and CRC-32 (hex), or $null
;   $tallowix.version(key)     a string of the DLL's version resource, e.g.
;                              $tallowix.version(FileVersion) is 1.01; ? if unknown
;   /crc32.bg TAG FILE         the CRC-32 in the background
;   /findcrc.bg TAG SIZE CRC DIR   the search in the background
;   /tallowix.stop TAG         stops the background calls started with TAG
;   $tallowix.progress(TAG)    how far the first call with TAG has come:
;                              "OPERATION DONE TOTAL" (bytes for Get32BitCrc,
;                              entries looked at and 0 for a search), or $null
;   /sfvcheck file.sfv         checks every file an SFV list names in the
;                              background, each result as it comes, the
;                              progress of a large file in the titlebar
;   /sfvcheck -stop            stops every running check
;
; $crc32 and $findcrc use $dll(), which waits for the answer: mIRC freezes
; until it comes (a large file or tree can take a while). The .bg forms use
; $dllcall(), which runs the routine on a thread of mIRC's own while the
; client stays usable; the answer then comes back as the signal
;   /signal tallowix OPERATION TAG ANSWER
; so that "on *:SIGNAL:tallowix:" sees $1 Get32BitCrc or MIRCFindFileSizeCrc,
; $2 the TAG you chose (one word) and $3- the answer ($null: nothing found).
; mIRC's $3- collapses runs of spaces, so for a name with two spaces in a row
; use $findcrc. mIRC keeps one returned command per DLL: should mIRC refuse
; several signals at once (rare), one answer can be lost. A call stopped
; with /tallowix.stop signals "Cancelled TAG OPERATION" instead ($1 is
; Cancelled). /dll -u while a call runs lets it finish (the DLL stays in
; memory, and its file in use, until mIRC exits); at exit, calls stop.
;
; Arguments are split at commas: pass a file or folder whose name holds a
; comma in a variable, e.g. $crc32(%file).
; mIRC 7 and later hand the DLL its text in UTF-8 and the DLL answers in
; UTF-8, so file and folder names in any script work, in SFV lists too.
; Paths are at most 255 bytes of UTF-8 (a letter such as e-acute takes 2).

alias tallowix.dll { return $qt($+($scriptdir,$iif($bits == 64,x64,x86),\tallowix.dll)) }

alias crc32 { return $dll($tallowix.dll, Get32BitCrc, $1) }

alias findcrc { return $dll($tallowix.dll, MIRCFindFileSizeCrc, $+($1,$chr(44),$2,$chr(44),$3)) }

alias tallowix.version { return $dll($tallowix.dll, GetDllVersion, $1) }

alias crc32.bg { noop $dllcall($tallowix.dll, tallowix.called, SignalGet32BitCrc, $1-) }

alias tallowix.stop { echo -a tallowix: told $dll($tallowix.dll, CancelSignal, $1) call(s) $1 to stop }

alias tallowix.progress { return $dll($tallowix.dll, GetSignalProgress, $1) }

alias findcrc.bg {
  noop $dllcall($tallowix.dll, tallowix.called, SignalFindFileSizeCrc, $+($1 $2,$chr(44),$3,$chr(44),$4-))
}

; $dllcall calls this when a routine has returned; its answer comes by signal.
alias tallowix.called { return }

; Background answers: /sfvcheck's own (tags sfvN), then any other.
on *:SIGNAL:tallowix:{
  if ($1 == CheckSfv) && ($hget(tallowix.sfv, $2)) { sfvcheck.signal $2- | return }
  if ($1 == Cancelled) && ($hget(tallowix.sfv, $2)) { sfvcheck.end $2 stopped | return }
  if ($1 == Cancelled) { echo -a tallowix: $3 $2 stopped | return }
  echo -a tallowix: $1 $2 $iif($3- != $null, $3-, (nothing found))
}

; One $dllcall checks the whole list: the DLL reads it (the name is the line
; up to the last word, the CRC; ; starts a comment; names are relative to
; the list's folder) and signals each file as "I/N VERDICT NAME", the verdict
; OK, BAD, MISSING, UNREADABLE or INVALID (a line it will not read: no name
; is given), then "done OK BAD MISSING UNREADABLE INVALID". Each run has a
; tag of its own (sfv1, sfv2, ...), so two runs at once never mix.
alias sfvcheck {
  if ($1 == -stop) {
    var %i = $hget(tallowix.sfv, 0).item
    while (%i > 0) { noop $dll($tallowix.dll, CancelSignal, $hget(tallowix.sfv, %i).item) | dec %i }
    return
  }
  var %sfv = $longfn($noqt($1-))
  if (!$isfile(%sfv)) { echo -a sfvcheck: no such file: %sfv | return }
  inc %tallowix.sfv.runs
  var %run = sfv $+ %tallowix.sfv.runs
  if (!$hget(tallowix.sfv)) hmake tallowix.sfv 10
  hadd tallowix.sfv %run %sfv
  .timer $+ %run 0 1 sfvcheck.progress %run
  noop $dllcall($tallowix.dll, tallowix.called, SignalCheckSfv, %run %sfv)
}

alias -l sfvcheck.signal {
  var %run = $1
  if ($2 == done) {
    if ($8 == unreadable) { echo -a sfvcheck: cannot read $hget(tallowix.sfv, %run) }
    elseif ($8 == unfinished) { echo -a sfvcheck: mIRC stopped taking the results: $3 OK, $4 BAD, $5 MISSING so far }
    else echo -a sfvcheck: $3 OK, $4 BAD, $5 MISSING $+ $iif($6, $chr(44) $6 UNREADABLE) $+ $iif($7, $chr(44) $7 INVALID)
    sfvcheck.end %run
    return
  }
  if ($gettok($2, 1, 47) == 1) echo -a sfvcheck: $gettok($2, 2, 47) files in $hget(tallowix.sfv, %run)
  echo -a $2-
}

; The progress of the file being read, once a second, in the titlebar (a
; timer's command runs outside this script, so this alias is not local).
alias sfvcheck.progress {
  tokenize 32 $tallowix.progress($1)
  if ($1 == CheckSfv) titlebar sfvcheck $calc($2 + 1) $+ / $+ $3: $round($calc($4 / 1048576), 1) of $round($calc($5 / 1048576), 1) MB
}

alias -l sfvcheck.end {
  .timer $+ $1 off
  if ($2 == stopped) echo -a sfvcheck: stopped $hget(tallowix.sfv, $1)
  hdel tallowix.sfv $1
  titlebar
}
