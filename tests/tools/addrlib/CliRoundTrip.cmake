# Drives the addrlib program as a user would: write -> dump -> the same entries, for
# every format; find; --help; and a bad file's message and exit code.

cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(pairs "${WORK}/pairs.txt")
file(WRITE "${pairs}" "# sample\n5 0x100\n9 0x200\n12 4096\n0x20 0x1008\n")
set(expected "5 0x100\n9 0x200\n12 0x1000\n32 0x1008\n")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

foreach(format raw 1 2 5)
  set(db "${WORK}/db-${format}.bin")
  run("${ADDRLIB}" write "${db}" --format ${format} --game-version 1.11.221.0 --name cli "${pairs}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "write ${format} failed (${rc}): ${err}")
  endif()
  set(raw_flag "")
  if(format STREQUAL "raw")
    set(raw_flag --raw)
  endif()
  run("${ADDRLIB}" dump "${db}" ${raw_flag})
  string(REGEX REPLACE "#[^\n]*\n" "" entries "${out}")
  if(NOT rc EQUAL 0 OR NOT entries STREQUAL expected)
    message(FATAL_ERROR "dump ${format} (${rc}) gave:\n${out}")
  endif()
  run("${ADDRLIB}" find "${db}" 9 ${raw_flag})
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "0x200\n")
    message(FATAL_ERROR "find 9 in ${format} (${rc}) gave: ${out}")
  endif()
  run("${ADDRLIB}" find "${db}" 10 ${raw_flag})
  if(NOT rc EQUAL 1 OR NOT out STREQUAL "not found\n")
    message(FATAL_ERROR "find 10 in ${format} (${rc}) gave: ${out}")
  endif()
endforeach()

# A raw file named like the F4SE loader's files is recognised without --raw.
file(COPY_FILE "${WORK}/db-raw.bin" "${WORK}/version-1-11-221-0.bin")
run("${ADDRLIB}" find "${WORK}/version-1-11-221-0.bin" 12)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "0x1000\n")
  message(FATAL_ERROR "find in version-*.bin (${rc}) gave: ${out}")
endif()

# Windows finds the file for the plugin whatever the case of its name; so does addrlib.
file(COPY_FILE "${WORK}/db-raw.bin" "${WORK}/Version-1-11-221-0.BIN")
run("${ADDRLIB}" find "${WORK}/Version-1-11-221-0.BIN" 12)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "0x1000\n")
  message(FATAL_ERROR "find in Version-*.BIN (${rc}) gave: ${out}${err}")
endif()

# The largest id cannot be stored in format 5: refused, nothing written out of bounds.
file(WRITE "${WORK}/huge-id.txt" "18446744073709551615 0x1000\n")
run("${ADDRLIB}" write "${WORK}/huge-id.bin" --format 5 --game-version 1.2.3.4 "${WORK}/huge-id.txt")
if(NOT rc EQUAL 2 OR NOT err MATCHES "id 18446744073709551615 is too large for format 5")
  message(FATAL_ERROR "write of the largest id in format 5 (${rc}) gave: ${err}")
endif()

# Pairs from standard input.
execute_process(COMMAND "${ADDRLIB}" write "${WORK}/stdin.bin" --format 2 --game-version 1.2.3.4 - INPUT_FILE "${pairs}" RESULT_VARIABLE rc)
run("${ADDRLIB}" find "${WORK}/stdin.bin" 32)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "0x1008\n")
  message(FATAL_ERROR "write from stdin then find (${rc}) gave: ${out}")
endif()

# Shorter than its format field.
file(WRITE "${WORK}/bad.bin" "X")
run("${ADDRLIB}" dump "${WORK}/bad.bin")
if(NOT rc EQUAL 3 OR NOT err MATCHES "Failed to open Address Library file!\nPath: .*bad.bin")
  message(FATAL_ERROR "bad file (${rc}) gave: ${err}")
endif()

run("${ADDRLIB}" --help)
foreach(word "addrlib write" "addrlib dump" "addrlib find" "--pointer-size" "not found")
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${word}")
    message(FATAL_ERROR "--help lacks ${word}")
  endif()
endforeach()

# Wrong usage: exit code 2, and on standard error what is wrong and which help to read.
# Each case: the arguments ("," between them), the expected message and the help
# hint, "|" between the three.
set(usage_cases
  "write|out is required|addrlib write --help"
  "|subcommand is required|addrlib --help"
  "frobnicate|unknown command frobnicate|addrlib --help"
  "--frobnicate|unknown option --frobnicate|addrlib --help"
  "write,${WORK}/x.bin,--format,9,--game-version,1.2.3.4,${pairs}|format \"9\" is none of raw, 1, 2, 5|addrlib write --help"
  "write,${WORK}/x.bin,--format,2,--game-version,1.2.3,${pairs}|game version \"1.2.3\"|addrlib write --help"
  "write,${WORK}/x.bin,--format,2,${pairs}|--game-version is required|addrlib write --help"
  "dump,${WORK}/db-2.bin,extra|not expected: extra|addrlib dump --help"
  "find,${WORK}/db-2.bin|id is required|addrlib find --help"
  "find,${WORK}/db-2.bin,nine|id \"nine\" is not a number|addrlib find --help"
  "check,${WORK}/db-2.bin,game.exe,--frobnicate|--frobnicate|addrlib check --help")
foreach(case IN LISTS usage_cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 arguments)
  list(GET fields 1 message)
  list(GET fields 2 hint)
  string(REPLACE "," ";" arguments "${arguments}")
  run("${ADDRLIB}" ${arguments})
  string(FIND "${err}" "${message}" at_message)
  string(FIND "${err}" "Run \"${hint}\" for usage." at_hint)
  if(NOT rc EQUAL 2 OR at_message EQUAL -1 OR at_hint EQUAL -1 OR NOT out STREQUAL "")
    message(FATAL_ERROR "addrlib ${arguments}: exit code ${rc}, stderr:\n${err}\nexpected: ${message} / ${hint}")
  endif()
endforeach()

# Each command's own help lists its options.
foreach(case "write|--pointer-size" "dump|--raw" "find|--raw" "check|--raw")
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 command)
  list(GET fields 1 option)
  run("${ADDRLIB}" ${command} --help)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "Usage: addrlib ${command}" OR NOT out MATCHES "${option}")
    message(FATAL_ERROR "addrlib ${command} --help (${rc}) gave:\n${out}")
  endif()
endforeach()
