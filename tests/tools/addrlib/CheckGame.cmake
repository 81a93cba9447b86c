# Drives "addrlib check" as a player would, against the sandbox's game stand-in and
# databases written by addrlib from the stand-in's own offsets: both functions
# accepted (plain and MSVC-style prologues, a leading jump), a prologue the detour
# refuses, an offset inside a function, an ID missing from the database, an offset that
# points into data, a database for another game version, a file that is no executable,
# and wrong usage. Runs the Windows
# programs through EMULATOR (Wine).

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run)
  execute_process(COMMAND ${EMULATOR} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# A database for the game started with the given prologue options; a_edit is a regex
# replacement applied to the "id offset" pairs first ("" for none).
function(database name pattern replacement)
  run("${GAME}" --out "${WORK}/${name}.txt" --print-offsets ${ARGN})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "game --print-offsets ${ARGN} failed (${rc}): ${err}")
  endif()
  file(READ "${WORK}/${name}.txt" pairs)
  if(NOT pattern STREQUAL "")
    string(REGEX REPLACE "${pattern}" "${replacement}" pairs "${pairs}")
  endif()
  file(WRITE "${WORK}/${name}.txt" "${pairs}")
  run("${ADDRLIB}" write "${WORK}/${name}.bin" --format 2 --game-version 1.11.221.0 "${WORK}/${name}.txt")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "addrlib write ${name} failed (${rc}): ${err}")
  endif()
endfunction()

function(expect_check name expected_rc)
  run("${ADDRLIB}" check "${WORK}/${name}.bin" "${GAME}")
  if(NOT rc EQUAL expected_rc)
    message(FATAL_ERROR "check ${name}: exit code ${rc}, expected ${expected_rc}\n${out}${err}")
  endif()
  foreach(line IN LISTS ARGN)
    string(FIND "${out}" "${line}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "check ${name}: no \"${line}\" in\n${out}${err}")
    endif()
  endforeach()
endfunction()

# Where the game's writable data lies: the .data section's address less the image base
# (objdump prints both in hexadecimal).
execute_process(COMMAND "${OBJDUMP}" -h -p "${GAME}" OUTPUT_VARIABLE headers)
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(image_base "${CMAKE_MATCH_1}")
string(REGEX MATCH "[0-9]+ \\.data +[0-9a-f]+ +([0-9a-f]+)" _ "${headers}")
set(data_vma "${CMAKE_MATCH_1}")
math(EXPR data_offset "0x${data_vma} - 0x${image_base} + 16" OUTPUT_FORMAT HEXADECIMAL)

database(plain "" "")
expect_check(plain 0
  "Game version: 1.11.221.0\nDatabase version: 1.11.221.0\n"
  "InvalidatesPreCalcDataForCell (ID 2201029): offset 0x"
  "ClearPreCalcedData (ID 2200368): offset 0x"
  "in .text: detour accepted: 5-byte jump, 5 bytes moved to the trampoline"
  "Quellstone can run on this game.")

# The same entries for another game version: the plugin would refuse the database.
run("${ADDRLIB}" write "${WORK}/other-version.bin" --format 2 --game-version 1.10.163.0 "${WORK}/plain.txt")
expect_check(other-version 1
  "Game version: 1.11.221.0\nDatabase version: 1.10.163.0\n  the database is for another game version"
  "Quellstone cannot run on this game as it is.")

# sub rsp, 56 (4 bytes) then the rip-relative cookie read (7): 11 bytes, relocated.
database(cookie "" "" --prologue stack-cookie --clear-prologue stack-cookie)
expect_check(cookie 0
  "detour accepted: 5-byte jump, 11 bytes moved to the trampoline\n  bytes: 48 83 EC 38 48 8B 05"
  "Quellstone can run on this game.")

# A leading jump is followed to the body, as an install follows it; test-and-branch:
# test rcx, rcx (3 bytes) and je (2), the je relocated.
database(jump "" "" --prologue jump --clear-prologue test-branch)
expect_check(jump 0
  "detour accepted: 5-byte jump, 5 bytes moved to the trampoline\n  after 1 leading jump(s), at offset 0x"
  "detour accepted: 5-byte jump, 5 bytes moved to the trampoline\n  bytes: 48 85 C9 74"
  "Quellstone can run on this game.")

database(undecodable "" "" --prologue undecodable)
expect_check(undecodable 1
  "InvalidatesPreCalcDataForCell (ID 2201029): offset 0x"
  "detour refused: instruction not decodable (at +0)\n  bytes: 66 0F 3A 44 C0 00"
  "ClearPreCalcedData (ID 2200368): offset 0x"
  "Quellstone cannot run on this game as it is.")

database(missing "2200368 [^\n]*\n" "")
expect_check(missing 1
  "ClearPreCalcedData (ID 2200368): not in the database"
  "Quellstone cannot run on this game as it is.")

string(SUBSTRING "${data_offset}" 2 -1 digits)
string(TOUPPER "${digits}" digits)
database(data "2201029 [^\n]*\n" "2201029 ${data_offset}\n")
expect_check(data 1
  "InvalidatesPreCalcDataForCell (ID 2201029): offset 0x${digits} in .data: not in the executable's code")

# An offset 5 bytes into the function (another game version's database): the function
# table places it inside a function, and the install would refuse it.
file(READ "${WORK}/plain.txt" plain_pairs)
string(REGEX MATCH "2201029 0x([0-9a-fA-F]+)" _ "${plain_pairs}")
math(EXPR inside_offset "0x${CMAKE_MATCH_1} + 5" OUTPUT_FORMAT HEXADECIMAL)
database(inside "2201029 [^\n]*\n" "2201029 ${inside_offset}\n")
expect_check(inside 1
  "in .text: detour refused: target lies inside a function, not at its start (at +0)"
  "Quellstone cannot run on this game as it is.")

# Not an executable: exit code 3 and the file named.
file(WRITE "${WORK}/notes.exe" "not a program\n")
run("${ADDRLIB}" check "${WORK}/plain.bin" "${WORK}/notes.exe")
if(NOT rc EQUAL 3 OR NOT err MATCHES "notes.exe: not a PE image")
  message(FATAL_ERROR "check against a text file (${rc}) gave: ${out}${err}")
endif()

run("${ADDRLIB}" check "${WORK}/plain.bin")
if(NOT rc EQUAL 2)
  message(FATAL_ERROR "check without the game gave exit code ${rc}")
endif()
