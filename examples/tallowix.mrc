; tallowix.mrc: mIRC aliases for tallowix.dll, which must lie beside this script.
; Load it with /load -rs tallowix.mrc (or through the Scripts Editor).
;
;   $crc32(file)               CRC-32 of the file, eight lower-case hex digits;
;                              ffffffff also when the file cannot be opened
;   $findcrc(size,crc,dir)     full path of the first file under dir with that
;                              size (decimal) and CRC-32 (hex), or $null
;   $tallowix.version(key)     a string of the DLL's version resource, e.g.
;                              $tallowix.version(FileVersion) is 1.01; ? if unknown
;   /sfvcheck file.sfv         checks every file an SFV list names
;
; $dllcall() runs a routine in the background and discards the value it
; returns, so these aliases use $dll(), which waits for the answer.
; Arguments are split at commas: pass a file or folder whose name holds a
; comma in a variable, e.g. $crc32(%file).
; mIRC 7 and later hand the DLL its text in UTF-8 and the DLL answers in
; UTF-8, so file and folder names in any script work, in SFV lists too.
; Paths are at most 255 bytes of UTF-8 (a letter such as e-acute takes 2).

alias crc32 { return $dll($qt($scriptdirtallowix.dll), Get32BitCrc, $1) }

alias findcrc { return $dll($qt($scriptdirtallowix.dll), MIRCFindFileSizeCrc, $+($1,$chr(44),$2,$chr(44),$3)) }

alias tallowix.version { return $dll($qt($scriptdirtallowix.dll), GetDllVersion, $1) }

; Each line of an SFV list is "name crc"; the name may hold spaces, the CRC is
; the last word, and lines beginning with ; are comments. Names are relative
; to the SFV's own folder. A file that cannot be opened also has the CRC
; ffffffff, so a missing file is caught by $isfile before any CRC is taken.
alias sfvcheck {
  var %sfv = $longfn($noqt($1-))
  if (!$isfile(%sfv)) { echo -a sfvcheck: no such file: %sfv | return }
  var %dir = $nofile(%sfv), %lines = $lines(%sfv), %i = 1, %ok = 0, %bad = 0, %missing = 0
  while (%i <= %lines) {
    var %line = $read(%sfv, nt, %i)
    inc %i
    if (($left(%line, 1) == $chr(59)) || ($numtok(%line, 32) < 2)) continue
    var %name = $deltok(%line, -1, 32)
    var %file = %dir $+ %name
    if (!$isfile(%file)) { echo -a MISSING %name | inc %missing }
    elseif ($crc32(%file) == $gettok(%line, -1, 32)) { echo -a OK %name | inc %ok }
    else { echo -a BAD %name | inc %bad }
  }
  echo -a sfvcheck: %ok OK, %bad BAD, %missing MISSING
}
