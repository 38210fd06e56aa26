; tallowix.mrc: mIRC commands and aliases for tallowix.dll. Unzip the package
; and load this script from where it lies: it calls x86\tallowix.dll beside it
; in mIRC and other 32-bit hosts, x64\tallowix.dll in 64-bit AdiIRC ($bits is
; 64), and says so when that file is not there.
; Load it with /load -rs tallowix.mrc (or through the Scripts Editor); /tallowix
; alone lists the commands.
;
; Commands, each a background job whose results go to the window @tallowix
; (one line per file, failures in bold red, a summary line at the end, the
; progress of running jobs in its titlebar):
;   /crccheck FILE [CRC]       OK or BAD against CRC, else against the CRC in
;                              the name ([1a2b3c4d] or (1a2b3c4d), the last
;                              such group); a folder: each such file in it
;   /sfvcheck LIST.sfv         checks every file an SFV list names
;   /sfvcheck -stop            stops every running /sfvcheck
;   /sfvmake [-r] LIST.sfv     writes an SFV list of the files in LIST's
;                              folder (-r: and below it); a stopped or failed
;                              make leaves an older LIST as it was
;   /tallowix stop             stops every job, forgets lists waiting for files
;   /tallowix auto on|off      checks received files by themselves (kept in
;                              %tallowix.auto across restarts, forgotten on
;                              unloading the script): a file whose
;                              name carries a CRC when it arrives; a received
;                              .sfv once every file it names is there and no
;                              DCC get is still writing one (looked at on each
;                              file received into its folder); it gives up
;                              after an hour in which nothing arrived there
;
; Aliases for your own scripts:
;   $crc32(file)               CRC-32 of the file, eight lower-case hex digits;
;                              ffffffff also when the file cannot be opened
;   $findcrc(size,crc,dir)     full path of the first file under dir with that
;                              size (decimal) and CRC-32 (hex), or $null
;   $tallowix.version(key)     a string of the DLL's version resource, e.g.
;                              $tallowix.version(FileVersion) is 1.01; ? if unknown
;   /crc32.bg TAG FILE         the CRC-32 in the background
;   /findcrc.bg TAG SIZE CRC DIR   the search in the background
;   /tallowix.stop TAG         stops the background calls started with TAG
;   $tallowix.progress(TAG)    how far the first call with TAG has come, or
;                              $null: "Get32BitCrc BYTESDONE BYTES",
;                              "MIRCFindFileSizeCrc ENTRIES 0", "CheckSfv I N
;                              BYTESDONE BYTES" (of the file being read),
;                              "MakeSfv FILESDONE FILES BYTESDONE BYTES" (of
;                              the file being read), "CheckNameCrc" likewise
;   $tallowix.dll              the DLL's quoted path for $dll and $dllcall
;                              (a line and /halt when the file is not there)
;
; $crc32 and $findcrc use $dll(), which waits for the answer: mIRC freezes
; until it comes (a large file or tree can take a while). Everything else uses
; $dllcall(), which runs the routine on a thread of mIRC's own while the
; client stays usable; the answer comes back as a signal named tallowix, so
; that "on *:SIGNAL:tallowix:" sees $1 the operation (Get32BitCrc or
; MIRCFindFileSizeCrc for the .bg forms), $2 the TAG and $3- the answer
; ($null: nothing found). This script prints those of /crc32.bg and
; /findcrc.bg in @tallowix too. A call stopped with /tallowix.stop signals
; "Cancelled TAG OPERATION" instead ($1 is Cancelled).
; Tags beginning with tlx. are this script's own: give your calls others.
;
; Limits: mIRC's $1- collapses runs of spaces, so a name with two spaces in a
; row needs $crc32 or $findcrc. mIRC keeps one returned command per DLL:
; should mIRC refuse several signals at once (rare), one can be lost; a job
; whose call has returned and that has shown no progress for 5 seconds then
; ends with a line saying so. Unloading the script tells its jobs to stop,
; ends its timer, frees its hash tables and %tallowix. variables and unloads
; the DLL; a call still running ends on its own (the DLL stays in memory, and
; its file in use, until mIRC exits); at exit, calls stop.
;
; Arguments are split at commas: pass a file or folder whose name holds a
; comma in a variable, e.g. $crc32(%file).
; mIRC 7 and later hand the DLL its text in UTF-8 and the DLL answers in
; UTF-8, so file and folder names in any script work, in SFV lists too.
; Paths are at most 255 bytes of UTF-8 (a letter such as e-acute takes 2).

alias tallowix.path { return $+($scriptdir,$iif($bits == 64,x64,x86),\tallowix.dll) }

; Every call goes through here, so a missing DLL is named instead of
; leaving mIRC's bare "unable to open file".
alias tallowix.dll {
  if (!$isfile($tallowix.path)) {
    echo $color(info) -a tallowix: $tallowix.path is not there: unzip the whole package beside tallowix.mrc, keeping its x86 and x64 folders
    halt
  }
  return $qt($tallowix.path)
}

alias crc32 { return $dll($tallowix.dll, Get32BitCrc, $1) }

alias findcrc { return $dll($tallowix.dll, MIRCFindFileSizeCrc, $+($1,$chr(44),$2,$chr(44),$3)) }

alias tallowix.version { return $dll($tallowix.dll, GetDllVersion, $1) }

alias tallowix.progress { return $dll($tallowix.dll, GetSignalProgress, $1) }

alias crc32.bg {
  if ($2 == $null) || (tlx.* iswm $1) { tlx.usage /crc32.bg TAG FILE (a TAG not beginning with tlx.) | return }
  noop $dllcall($tallowix.dll, tallowix.called, SignalGet32BitCrc, $1-)
}

alias findcrc.bg {
  if ($4 == $null) || (tlx.* iswm $1) { tlx.usage /findcrc.bg TAG SIZE CRC DIR (a TAG not beginning with tlx.) | return }
  noop $dllcall($tallowix.dll, tallowix.called, SignalFindFileSizeCrc, $+($1 $2,$chr(44),$3,$chr(44),$4-))
}

alias tallowix.stop {
  if ($1 == $null) { tlx.usage /tallowix.stop TAG | return }
  tlx.say tallowix: told $dll($tallowix.dll, CancelSignal, $1) call(s) $1 to stop
}

; $dllcall calls this when a routine has returned; its answer comes by signal.
alias tallowix.called { return }

; The same for the script's own jobs: counting returned calls tells a job
; whose last signal was lost from one still running unwatched (the DLL's
; table of running calls full).
alias tallowix.returned { if ($hget(tallowix, calls) > 0) hdec tallowix calls }

alias tallowix {
  if ($1 == auto) {
    if ($2 == on) set %tallowix.auto on
    elseif ($2 == off) unset %tallowix.auto
    elseif ($2 != $null) { tlx.usage /tallowix auto on|off | return }
    echo $color(info) -a tallowix: received files are $iif(%tallowix.auto == on, checked as they arrive, not checked) (/tallowix auto on|off)
    return
  }
  if ($1 == stop) {
    if ($hget(tallowix.wait)) hfree tallowix.wait
    tlx.say tallowix: told $tlx.cancel(*) job(s) to stop
    tlx.idle
    return
  }
  if ($1 != $null) { tlx.usage /tallowix [auto on|off|stop] | return }
  var %c = $color(info)
  echo %c -a tallowix commands (results in @tallowix, tags beginning with tlx. are the script's):
  echo %c -a /crccheck FILE [CRC] - OK or BAD against CRC, else against the [1a2b3c4d] or (1a2b3c4d) in its name, or each such file in a folder
  echo %c -a /sfvcheck LIST.sfv - checks every file the SFV list names (/sfvcheck -stop stops every check)
  echo %c -a /sfvmake [-r] LIST.sfv - writes an SFV list of the files in LIST's folder (-r: and below it)
  echo %c -a /tallowix auto on|off - checks received files as they arrive (now: $iif(%tallowix.auto == on, on, off) $+ )
  echo %c -a /tallowix stop - stops every job of this script
  echo %c -a /crc32.bg TAG FILE, /findcrc.bg TAG SIZE CRC DIR, /tallowix.stop TAG - background calls under your own TAG
  echo %c -a $chr(36) $+ crc32(file), $chr(36) $+ findcrc(size,crc,dir), $chr(36) $+ tallowix.version(key), $chr(36) $+ tallowix.progress(tag) - identifiers: $chr(36) $+ crc32 and $chr(36) $+ findcrc freeze mIRC until they answer
}

alias crccheck {
  if ($1 == $null) { tlx.usage /crccheck FILE [CRC] (or a folder, without CRC) | return }
  var %path = $noqt($1-)
  var %last = $gettok($1-, -1, 32)
  var %rest = $noqt($gettok($1-, $+(1-,$calc($0 - 1)), 32))
  var %hex = $iif($left(%last, 2) == 0x, $mid(%last, 3), %last)
  if ($0 > 1) && ($isfile(%rest)) && ($len(%hex) <= 8) && ($regex(%hex, /^[0-9a-f]+$/i)) {
    tlx.show
    tlx.start crccheck SignalGet32BitCrc $lower($right(00000000 $+ %hex, 8)) %rest
  }
  elseif ($isfile(%path)) || ($isdir(%path)) {
    tlx.show
    tlx.start crccheck SignalCheckNameCrc - %path
  }
  else echo $color(info) -a crccheck: no such file or folder: %path
}

alias sfvcheck {
  if ($1 == -stop) { tlx.say sfvcheck: told $tlx.cancel(sfvcheck) check(s) to stop | return }
  if ($1 == $null) { tlx.usage /sfvcheck LIST.sfv (or -stop) | return }
  var %sfv = $noqt($1-)
  if (!$isfile(%sfv)) { echo $color(info) -a sfvcheck: no such file: %sfv | return }
  tlx.show
  tlx.start sfvcheck SignalCheckSfv - $longfn(%sfv)
}

alias sfvmake {
  var %r = -
  if ($1 == -r) { %r = -r | tokenize 32 $2- }
  var %list = $noqt($1-)
  if ($right(%list, 4) != .sfv) { tlx.usage /sfvmake [-r] LIST.sfv | return }
  if (!$isdir($nofile(%list))) { echo $color(info) -a sfvmake: no such folder: $iif($nofile(%list), $nofile(%list), give the list's full path) | return }
  tlx.show
  tlx.start sfvmake SignalMakeSfv %r %list
}

menu @tallowix {
  Stop every job:tallowix stop
  Clear:clear @tallowix
}

on *:LOAD:{
  echo $color(info) -a tallowix: $iif($isfile($tallowix.path), /tallowix lists the commands, $tallowix.path is not there: unzip the whole package beside tallowix.mrc)
}

; Left running, the jobs would signal tags nothing handles and the timer
; would call an alias that no longer exists, which mIRC sends to the server.
on *:UNLOAD:{
  .timertallowix off
  if ($isfile($tallowix.path)) && ($hget(tallowix.runs, 0).item) {
    tlx.say tallowix: unloaded, told $tlx.cancel(*) job(s) to stop
  }
  if ($hget(tallowix.runs)) hfree tallowix.runs
  if ($hget(tallowix.wait)) hfree tallowix.wait
  if ($hget(tallowix)) hfree tallowix
  unset %tallowix.*
  var %i = $dll(0)
  while (%i > 0) {
    if ($noqt($dll(%i)) == $tallowix.path) dll -u $tallowix.dll
    dec %i
  }
}

on *:SIGNAL:tallowix:{
  if ($hget(tallowix.runs, $2) != $null) { tlx.signal $1- | return }
  ; a job ended or of an earlier load: nothing left to show it in
  if (tlx.* iswm $2) return
  if ($1 == Cancelled) tlx.say tallowix: $3 $2 stopped
  elseif ($1 == Get32BitCrc) || ($1 == MIRCFindFileSizeCrc) tlx.say tallowix: $1 $2 $iif($3- != $null, $3-, (nothing found))
}

on *:FILERCVD:*:{
  if (%tallowix.auto != on) return
  tlx.arrived $filename
  if ($right($filename, 4) == .sfv) tlx.await $filename
  elseif ($regex($nopath($filename), /\[[0-9a-f]{8}\]|\([0-9a-f]{8}\)/i)) tlx.start crccheck SignalCheckNameCrc - $filename
}

; Once a second while a job runs or a list waits (-o: a disconnect does not
; end it): the progress in the titlebar, lost jobs ended, waits bounded.
; A timer's command runs outside this script, so this alias is not local.
alias tallowix.tick {
  var %runs = $tlx.items(tallowix.runs)
  var %empty
  var %title
  var %watched = 0
  var %i = $numtok(%runs, 32)
  while (%i > 0) {
    var %tag = $gettok(%runs, %i, 32)
    var %p = $tallowix.progress(%tag)
    if (%p == $null) %empty = %empty %tag
    else {
      inc %watched
      tlx.field %tag 2 0
      var %job = $tlx.label(%tag) $tlx.progtext(%p)
      %title = $iif(%title, %title $+ $chr(59) %job, %job)
    }
    dec %i
  }
  ; With every call still out accounted for by a watched job, an unwatched
  ; one has returned: 5 such ticks in a row and it ends.
  var %returned = $iif($hget(tallowix, calls) <= %watched, 1, 0)
  var %i = $numtok(%empty, 32)
  while (%i > 0) {
    var %tag = $gettok(%empty, %i, 32)
    var %n = $iif(%returned, $calc($gettok($hget(tallowix.runs, %tag), 2, 32) + 1), 0)
    if (%n >= 5) {
      tlx.say $tlx.label(%tag) $+ : $tlx.mark(LOST) its call returned without a summary (a signal lost, or the call could not run), so the lines above are all it reported
      tlx.end %tag
    }
    else tlx.field %tag 2 %n
    dec %i
  }
  var %waits = $tlx.items(tallowix.wait)
  var %i = $numtok(%waits, 32)
  while (%i > 0) {
    var %w = $gettok(%waits, %i, 32)
    var %sfv = $gettok($hget(tallowix.wait, %w), 3-, 32)
    if ($tlx.getting($nofile(%sfv))) tlx.touch %w
    elseif ($gettok($hget(tallowix.wait, %w), 1, 32) < $ctime) {
      tlx.say sfvcheck $nopath(%sfv) $+ : gave up waiting, nothing arrived in its folder for an hour: $tlx.mark(MISSING) $tlx.entry(%sfv, $gettok($hget(tallowix.wait, %w), 2, 32)) (/sfvcheck it by hand)
      hdel tallowix.wait %w
    }
    dec %i
  }
  if ($numtok(%waits, 32)) %title = $iif(%title, %title $+ $chr(59)) $numtok(%waits, 32) list(s) waiting for their files
  if ($window(@tallowix)) titlebar @tallowix $iif(%title, %title, no job running)
  tlx.idle
}

; Starts a job: KIND ROUTINE EXTRA PATH, EXTRA the CRC wanted, -r or -. Its
; record "KIND QUIET EXTRA PATH" lives in tallowix.runs under its tag; QUIET
; counts the ticks it has shown no progress since its call returned.
alias -l tlx.start {
  noop $tallowix.dll
  tlx.state
  hinc tallowix seq
  var %tag = tlx. $+ $hget(tallowix, seq)
  hadd -m tallowix.runs %tag $1 0 $3-
  if (!$timer(tallowix)) .timertallowix -o 0 1 tallowix.tick
  tlx.say $tlx.label(%tag) $+ : started on $4-
  var %data = %tag $4-
  if ($3 == -r) %data = %tag -r $4-
  noop $dllcall($tallowix.dll, tallowix.returned, $2, %data)
  ; counted only once the call is out: a $dllcall that fails leaves none
  hinc tallowix calls
}

alias -l tlx.state {
  if ($hget(tallowix)) return
  hmake tallowix 10
  ; tags stay new across reloads: a call of an earlier load may still signal
  hadd tallowix seq $ticks
  hadd tallowix calls 0
}

alias -l tlx.signal {
  var %label = $tlx.label($2)
  tlx.field $2 2 0
  if ($1 == Cancelled) {
    tlx.say %label $+ : stopped
  }
  elseif ($1 == Get32BitCrc) {
    var %want = $gettok($hget(tallowix.runs, $2), 3, 32)
    if ($3 == %want) tlx.say %label $+ : OK $3
    else tlx.say %label $+ : $tlx.mark(BAD) $3 $+ , the CRC wanted is %want $iif($3 == ffffffff, (or the file could not be read))
  }
  elseif ($3 != done) {
    tlx.say %label $3 $tlx.mark($4) $5- $iif($4 == NONE, (no CRC in the name: /crccheck FILE CRC))
    return
  }
  elseif ($1 == CheckSfv) {
    if ($9 == unreadable) tlx.say %label $+ : $tlx.mark(UNREADABLE) the list cannot be read
    else tlx.say %label $+ : $tlx.sum(OK $4 BAD $5 MISSING $6 UNREADABLE $7 INVALID $8) $tlx.cut($9)
  }
  elseif ($1 == CheckNameCrc) {
    if ($8 == unreadable) tlx.say %label $+ : $tlx.mark(UNREADABLE) nothing readable there
    else tlx.say %label $+ : $tlx.sum(OK $4 BAD $5 UNREADABLE $6 NONE $7) $tlx.cut($8)
  }
  elseif ($1 == MakeSfv) {
    if ($6 == unwritten) tlx.say %label $+ : $tlx.mark(FAILED) no list written (folder unlistable, or no room), any older list is as it was
    elseif ($6 == unfinished) tlx.say %label $+ : $tlx.cut($6) $+ , no list written
    else tlx.say %label $+ : $tlx.sum(written $4 UNREADABLE $5) $iif($5, (left out of the list))
  }
  tlx.end $2
}

; "WORD COUNT ..." pairs as the counts that are not 0, failures marked.
alias -l tlx.sum {
  var %out
  var %failed = 0
  var %i = 1
  while (%i < $numtok($1-, 32)) {
    var %word = $gettok($1-, %i, 32)
    var %n = $gettok($1-, $calc(%i + 1), 32)
    if (%n > 0) {
      if (!$istok(OK NONE written, %word, 32)) inc %failed
      %out = $iif(%out, %out $+ $chr(44)) %n $tlx.mark(%word)
    }
    inc %i 2
  }
  return $iif(%failed, $tlx.mark(FAILED), done) $+ : $iif(%out, %out, no file to check)
}

alias -l tlx.cut { if ($1 == unfinished) return $tlx.mark(UNFINISHED) (mIRC stopped taking the results) }

alias -l tlx.mark {
  if ($istok(BAD MISSING UNREADABLE INVALID FAILED LOST UNFINISHED, $1, 32)) return $+($chr(2),$chr(3),04,$1,$chr(15))
  return $1
}

; "crccheck file.zip": the job's kind and the last part of its path.
alias -l tlx.label {
  var %r = $hget(tallowix.runs, $1)
  var %p = $gettok(%r, 4-, 32)
  return $gettok(%r, 1, 32) $iif($nopath(%p), $nopath(%p), %p)
}

alias -l tlx.progtext {
  tokenize 32 $1-
  if ($1 == Get32BitCrc) return $tlx.pct($2, $3)
  if ($1 == CheckSfv) return $+($2,/,$3) $+ , file $tlx.pct($4, $5)
  return $+($2,/,$3) $tlx.pct($4, $5)
}

alias -l tlx.pct { if ($2 > 0) return $int($calc(100 * $1 / $2)) $+ $chr(37) }

; Sets word $2 of job $1's record to $3.
alias -l tlx.field { if ($hget(tallowix.runs, $1) != $null) hadd tallowix.runs $1 $puttok($hget(tallowix.runs, $1), $3, $2, 32) }

alias -l tlx.items {
  var %out
  var %i = $hget($1, 0).item
  while (%i > 0) {
    %out = %out $hget($1, %i).item
    dec %i
  }
  return %out
}

alias -l tlx.end {
  if ($hget(tallowix.runs, $1) != $null) hdel tallowix.runs $1
  tlx.idle
}

alias -l tlx.idle {
  if ($hget(tallowix.runs, 0).item) || ($hget(tallowix.wait, 0).item) return
  .timertallowix off
  if ($window(@tallowix)) titlebar @tallowix no job running
}

; Tells the jobs of a kind (* for all) to stop; returns how many calls heard.
alias -l tlx.cancel {
  var %n = 0
  var %runs = $tlx.items(tallowix.runs)
  var %i = $numtok(%runs, 32)
  while (%i > 0) {
    var %tag = $gettok(%runs, %i, 32)
    if ($1 iswm $gettok($hget(tallowix.runs, %tag), 1, 32)) inc %n $dll($tallowix.dll, CancelSignal, %tag)
    dec %i
  }
  return %n
}

; Results never go to the active window: a long list would flood a channel.
; The window is opened minimized here, so it takes no focus.
alias -l tlx.say {
  if (!$window(@tallowix)) window -n @tallowix
  echo -t @tallowix $1-
}

; A command the user typed brings the window up.
alias -l tlx.show { window -a @tallowix }

alias -l tlx.usage { echo $color(info) -a usage: $1- }

; A received list waits in tallowix.wait as "DEADLINE LINE LIST", LINE the
; first entry not yet known to be there.
alias -l tlx.await {
  tlx.state
  hinc tallowix seq
  var %w = w. $+ $hget(tallowix, seq)
  hadd -m tallowix.wait %w $calc($ctime + 3600) 1 $1-
  if (!$timer(tallowix)) .timertallowix -o 0 1 tallowix.tick
  tlx.say sfvcheck $nopath($1-) $+ : received, checked once every file it names is there
  tlx.ready %w
}

; Each file received into a waiting list's folder: it waits another hour and
; looks again.
alias -l tlx.arrived {
  var %waits = $tlx.items(tallowix.wait)
  var %i = $numtok(%waits, 32)
  while (%i > 0) {
    var %w = $gettok(%waits, %i, 32)
    if ($nofile($gettok($hget(tallowix.wait, %w), 3-, 32)) == $nofile($1-)) {
      tlx.touch %w
      tlx.ready %w
    }
    dec %i
  }
}

alias -l tlx.touch { hadd tallowix.wait $1 $puttok($hget(tallowix.wait, $1), $calc($ctime + 3600), 1, 32) }

; Starts the check of waiting list $1 once every file it names exists and no
; DCC get still writes one (a file being received exists already). Entries
; found are not looked at again.
alias -l tlx.ready {
  var %sfv = $gettok($hget(tallowix.wait, $1), 3-, 32)
  var %n = $lines(%sfv)
  var %i = $gettok($hget(tallowix.wait, $1), 2, 32)
  while (%i <= %n) {
    var %name = $tlx.entry(%sfv, %i)
    if (%name != $null) {
      var %file = $nofile(%sfv) $+ %name
      if (!$isfile(%file)) || ($tlx.getting(%file)) {
        hadd tallowix.wait $1 $puttok($hget(tallowix.wait, $1), %i, 2, 32)
        return
      }
    }
    inc %i
  }
  hdel tallowix.wait $1
  tlx.start sfvcheck SignalCheckSfv - %sfv
}

; The name of entry line $2 of list $1 (\ for /), or $null for a comment,
; a blank line or a line without a CRC: the DLL reads such lines itself.
alias -l tlx.entry {
  var %line = $remove($replace($read($1, nt, $2), $chr(9), $chr(32)), $chr(65279))
  if ($left($gettok(%line, 1, 32), 1) == $chr(59)) || ($numtok(%line, 32) < 2) return
  var %name = $replace($gettok(%line, $+(1-,$calc($numtok(%line, 32) - 1)), 32), /, \)
  ; an absolute name is INVALID to the DLL: nothing to wait for
  if ($chr(58) isin %name) || ($left(%name, 1) == \) return
  return %name
}

; $true while a DCC get writes the file $1, or (given a folder ending in \)
; any file in that folder.
alias -l tlx.getting {
  var %i = $get(0)
  while (%i > 0) {
    if ($get(%i).status == active) && (($get(%i).file == $1-) || ($nofile($get(%i).file) == $1-)) return $true
    dec %i
  }
  return $false
}
