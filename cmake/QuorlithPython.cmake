# The release tooling (payload checks, runtime-package proof, digest table, manifest, bill of materials)
# is one Python program on Debian's libraries. Find an interpreter that has all of them: a shim that comes
# first in PATH (pyenv and the like) often has none, so the system interpreter is tried after it.

set(QUORLITH_PYTHON "" CACHE FILEPATH "Python 3 interpreter with gi (Libmsi), pefile and asn1crypto")
set(QUORLITH_RELEASE_TOOL "${QUORLITH_SOURCE_DIR}/tools/release/quorlith-release.py" CACHE INTERNAL "")

# Prints the first module (and its Debian package) the interpreter lacks, nothing when all import.
set(_quorlith_python_probe [=[
import sys
probes = (
    ("gi (Libmsi), Debian packages python3-gi and gir1.2-libmsi-1.0",
     "import gi; gi.require_version('Libmsi', '1.0'); from gi.repository import Libmsi"),
    ("gi (Gsf), Debian package gir1.2-gsf-1",
     "import gi; gi.require_version('Gsf', '1'); from gi.repository import Gsf"),
    ("pefile, Debian package python3-pefile", "import pefile"),
    ("asn1crypto, Debian package python3-asn1crypto", "import asn1crypto.cms"),
)
for package, statement in probes:
    try:
        exec(statement)
    except Exception:
        sys.stdout.write(package)
        break
]=])

function(quorlith_find_python out_var)
  set(candidates "")
  if(QUORLITH_PYTHON)
    list(APPEND candidates "${QUORLITH_PYTHON}")
  endif()
  find_program(_quorlith_path_python NAMES python3 NO_CACHE)
  if(_quorlith_path_python)
    list(APPEND candidates "${_quorlith_path_python}")
  endif()
  list(APPEND candidates /usr/bin/python3)
  list(REMOVE_DUPLICATES candidates)

  set(found "")
  set(report "")
  foreach(candidate IN LISTS candidates)
    if(NOT EXISTS "${candidate}")
      string(APPEND report "\n  ${candidate}: not found")
      continue()
    endif()
    execute_process(COMMAND "${candidate}" -c "${_quorlith_python_probe}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE missing ERROR_QUIET)
    if(NOT rc EQUAL 0)
      string(APPEND report "\n  ${candidate}: does not run (${rc})")
    elseif(missing)
      string(APPEND report "\n  ${candidate}: lacks ${missing}")
    else()
      set(found "${candidate}")
      break()
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "No Python 3 interpreter has the release tooling's modules; tried:${report}\n"
      "Install them with: apt-get install python3-gi gir1.2-libmsi-1.0 gir1.2-gsf-1 python3-pefile python3-asn1crypto\n"
      "or name an interpreter that has them with -DQUORLITH_PYTHON=<path>.")
  endif()
  set(${out_var} "${found}" PARENT_SCOPE)
endfunction()

quorlith_find_python(_quorlith_python_found)
if(NOT _quorlith_python_found STREQUAL QUORLITH_PYTHON)
  message(STATUS "Release tooling interpreter: ${_quorlith_python_found}")
endif()
set(QUORLITH_PYTHON "${_quorlith_python_found}" CACHE FILEPATH
    "Python 3 interpreter with gi (Libmsi), pefile and asn1crypto" FORCE)
