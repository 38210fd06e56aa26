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
;   /sfvcheck file.sfv         checks every file an SFV list names, one at a
;                              time in the background, each result as it comes
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
; several signals at once (rare), one answer can be lost.
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

alias findcrc.bg {
  noop $dllcall($tallowix.dll, tallowix.called, SignalFindFileSizeCrc, $+($1 $2,$chr(44),$3,$chr(44),$4-))
}

; $dllcall calls this when a routine has returned; its answer comes by signal.
alias tallowix.called { return }

; Background answers: /sfvcheck's own (tags sfvN.I), then any other.
on *:SIGNAL:tallowix:{
  var %run = $gettok($2, 1, 46)
  if ($1 == Get32BitCrc) && (sfv* iswm %run) && ($hget(%run)) {
    sfvcheck.result %run $gettok($2, 2, 46) $3
    return
  }
  echo -a tallowix: $1 $2 $iif($3- != $null, $3-, (nothing found))
}

; Each line of an SFV list is "name crc"; the name may hold spaces, the CRC is
; the last word, and lines beginning with ; are comments. Names are relative
; to the SFV's own folder. A file that cannot be opened also has the CRC
; ffffffff, so a missing file is caught by $isfile before any CRC is taken.
; Each run keeps its list in a hash table of its own (sfv1, sfv2, ...), so
; two runs at once never mix their answers.
alias sfvcheck {
  var %sfv = $longfn($noqt($1-))
  if (!$isfile(%sfv)) { echo -a sfvcheck: no such file: %sfv | return }
  inc %tallowix.sfv.runs
  var %run = sfv $+ %tallowix.sfv.runs, %lines = $lines(%sfv), %i = 1, %n = 0
  if ($hget(%run)) hfree %run
  hmake %run 100
  while (%i <= %lines) {
    var %line = $read(%sfv, nt, %i)
    inc %i
    if (($left(%line, 1) == $chr(59)) || ($numtok(%line, 32) < 2)) continue
    inc %n
    hadd %run name. $+ %n $deltok(%line, -1, 32)
    hadd %run crc. $+ %n $gettok(%line, -1, 32)
  }
  hadd %run dir $nofile(%sfv)
  hadd %run total %n
  hadd %run at 0
  hadd %run ok 0
  hadd %run bad 0
  hadd %run missing 0
  echo -a sfvcheck: %n files in %sfv
  sfvcheck.next %run
}

; Starts the CRC of the next file of a run in the background; a missing file
; is reported at once. After the last, the summary.
alias -l sfvcheck.next {
  var %run = $1, %total = $hget(%run, total)
  while ($hget(%run, at) < %total) {
    hinc %run at
    var %i = $hget(%run, at), %name = $hget(%run, name. $+ %i), %file = $hget(%run, dir) $+ %name
    if ($isfile(%file)) {
      noop $dllcall($tallowix.dll, tallowix.called, SignalGet32BitCrc, %run $+ . $+ %i %file)
      return
    }
    hinc %run missing
    echo -a %i $+ / $+ %total MISSING %name
  }
  echo -a sfvcheck: $hget(%run, ok) OK, $hget(%run, bad) BAD, $hget(%run, missing) MISSING
  hfree %run
}

; The CRC of file I of a run has come: counted, printed, and the next started.
alias -l sfvcheck.result {
  var %run = $1, %i = $2, %total = $hget(%run, total), %name = $hget(%run, name. $+ %i)
  if ($3 == $hget(%run, crc. $+ %i)) { hinc %run ok | echo -a %i $+ / $+ %total OK %name }
  else { hinc %run bad | echo -a %i $+ / $+ %total BAD %name }
  sfvcheck.next %run
}
