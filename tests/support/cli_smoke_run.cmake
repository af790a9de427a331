# Run by the cli_smoke test (tests/cli_smoke.cmake) with PYTHON, CJPEG, BUILD_DIR, CLI_NAME,
# BINDIR, VERSION, HAVE_PNG, EMULATOR (may be empty), SOURCE_DIR, CORPUS_DIR (may be absent) and
# WORK_DIR defined.
cmake_policy(SET CMP0007 NEW)  # the tables below have empty fields
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(width 203)
set(height 101)

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}${err}")
  endif()
endfunction()

# The tool as a user has it: installed, finding the installed library by itself.
run_checked(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
set(CLI ${WORK_DIR}/prefix/${BINDIR}/${CLI_NAME})

# Runs the tool; sets tool_status, tool_output (standard output and error) in the caller.
function(run_tool)
  execute_process(COMMAND ${EMULATOR} ${CLI} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(tool_status ${status} PARENT_SCOPE)
  set(tool_output "${out}${err}" PARENT_SCOPE)
endfunction()

# Runs the tool with standard input from IN and standard output to OUT (files in WORK_DIR).
function(run_piped in out)
  execute_process(COMMAND ${EMULATOR} ${CLI} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
    INPUT_FILE ${WORK_DIR}/${in} OUTPUT_FILE ${WORK_DIR}/${out}
    RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CLI} ${ARGN} < ${in} > ${out}: exit status ${status}\n${err}")
  endif()
endfunction()

function(expect_same a b)
  file(SHA256 ${WORK_DIR}/${a} hash_a)
  file(SHA256 ${WORK_DIR}/${b} hash_b)
  if(NOT hash_a STREQUAL hash_b)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endfunction()

# The columns of a table row ("a|b|c") into the variables named after the row, in order; a
# column the row leaves out is empty.
function(read_row row)
  string(REPLACE "|" ";" columns "${row}")
  list(LENGTH columns count)
  set(index 0)
  foreach(name ${ARGN})
    set(value "")
    if(index LESS count)
      list(GET columns ${index} value)
    endif()
    set(${name} "${value}" PARENT_SCOPE)
    math(EXPR index "${index} + 1")
  endforeach()
endfunction()

run_checked(${PYTHON} ${SOURCE_DIR}/scripts/make-sample.py ${WORK_DIR}/page.ppm ${width} ${height})
run_checked(${CJPEG} -quality 90 -sample 2x2 -restart 2 -outfile ${WORK_DIR}/page.jpg
  ${WORK_DIR}/page.ppm)
file(SIZE ${WORK_DIR}/page.ppm source_size)

# --version names the tool's and the library's version.
run_tool(--version)
if(NOT tool_status EQUAL 0 OR NOT tool_output MATCHES "^jpegdec ${VERSION} \\(library ${VERSION}\\)")
  message(FATAL_ERROR "--version: exit status ${tool_status}: ${tool_output}")
endif()

# Usage errors: status 1 and one line saying what is wrong, pointing at --help.
foreach(arguments "page.jpg;-" "--bogus;page.jpg;x.ppm" "page.jpg;x.ppm;-m" "-p;0;page.jpg;x.ppm"
    "page.jpg" "page.jpg;x.ppm;y.ppm")
  run_tool(${arguments})
  if(NOT tool_status EQUAL 1 OR NOT tool_output MATCHES "^jpegdec: [^\n]+\nTry 'jpegdec --help'")
    message(FATAL_ERROR "${arguments}: exit status ${tool_status}, want 1\n${tool_output}")
  endif()
endforeach()

# Every mode decodes the page to a file of the right size and header: colour to PPM, and grey
# to PGM (GDI+ hands out grey rows padded to 4 bytes; the tool drops the padding).
run_checked(${CJPEG} -grayscale -quality 90 -outfile ${WORK_DIR}/grey.jpg ${WORK_DIR}/page.ppm)
math(EXPR grey_size "${source_size} - ${width} * ${height} * 2")
foreach(kind "page;ppm;P6;${source_size}" "grey;pgm;P5;${grey_size}")
  list(GET kind 0 name)
  list(GET kind 1 extension)
  list(GET kind 2 magic)
  list(GET kind 3 want_size)
  foreach(mode streaming buffered auto gdiplus)
    set(out ${name}-${mode}.${extension})
    run_tool(--mode=${mode} -p 1000 --stats ${name}.jpg ${out})
    if(NOT tool_status EQUAL 0)
      message(FATAL_ERROR "${out}: exit status ${tool_status}\n${tool_output}")
    endif()
    if(NOT EXISTS ${WORK_DIR}/${out})
      message(FATAL_ERROR "${out}: no output file\n${tool_output}")
    endif()
    file(SIZE ${WORK_DIR}/${out} size)
    if(NOT size EQUAL want_size)
      message(FATAL_ERROR "${out}: ${size} bytes, want ${want_size}\n${tool_output}")
    endif()
    file(READ ${WORK_DIR}/${out} header LIMIT 15)
    if(NOT header STREQUAL "${magic}\n${width} ${height}\n255\n")
      message(FATAL_ERROR "${out}: header '${header}'")
    endif()
    if(NOT tool_output MATCHES "rows: ${height} of")
      message(FATAL_ERROR "${out}: --stats output lacks the row count\n${tool_output}")
    endif()
    if(mode STREQUAL "gdiplus" AND tool_output MATCHES "mode: gdiplus\n")
      set(gdiplus_available ON)  # else the library fell back to buffered
    endif()
  endforeach()
  # The streaming and buffered ways run the same decoder: the same pixels.
  expect_same(${name}-streaming.${extension} ${name}-buffered.${extension})
endforeach()

# Silent on success; standard input and output give the same bytes as the files, in each
# format the build writes ('-' as OUTPUT needs --format; pnm is PGM for grey).
run_tool(page.jpg page-default.ppm)
if(NOT tool_status EQUAL 0 OR NOT tool_output STREQUAL "")
  message(FATAL_ERROR "a decode that worked printed: ${tool_output}")
endif()
expect_same(page-default.ppm page-streaming.ppm)
run_piped(page.jpg piped.ppm --format pnm - -)
expect_same(piped.ppm page-streaming.ppm)
run_piped(grey.jpg piped.pgm -f pnm -m buffered - -)
expect_same(piped.pgm grey-streaming.pgm)
if(HAVE_PNG)
  # The PNG through standard output equals the file; the file is a PNG of the page's size, and
  # its name may hold characters beyond ASCII.
  set(unicode_in "päge-ßé.jpg")
  set(unicode_out "äusgabe-Ω.png")
  file(COPY_FILE ${WORK_DIR}/page.jpg ${WORK_DIR}/${unicode_in})
  run_tool(${unicode_in} ${unicode_out})
  if(NOT tool_status EQUAL 0 OR NOT EXISTS ${WORK_DIR}/${unicode_out})
    message(FATAL_ERROR "${unicode_in} -> ${unicode_out}: exit status ${tool_status}\n"
      "${tool_output}")
  endif()
  run_piped(page.jpg piped.png --format=png - -)
  expect_same(piped.png ${unicode_out})
  file(READ ${WORK_DIR}/piped.png png_head LIMIT 24 HEX)
  string(SUBSTRING "${png_head}" 0 16 signature)
  string(SUBSTRING "${png_head}" 32 16 size)
  if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT size STREQUAL "000000cb00000065")
    message(FATAL_ERROR "piped.png does not start as a ${width}x${height} PNG: ${png_head}")
  endif()
endif()

# The PAM header names the samples: R, G, B; a YCCK file's R, G, B and 255 - K; stored CMYK (the
# four-component files come from the external corpus, when it is there).
set(pam_cases "${WORK_DIR}/page.jpg|RGB" "${WORK_DIR}/grey.jpg|GRAYSCALE")
if(EXISTS ${CORPUS_DIR}/decodable/ird_ref_ycck.jpg)
  list(APPEND pam_cases "${CORPUS_DIR}/decodable/ird_ref_ycck.jpg|RGB_INVERTED_K"
    "${CORPUS_DIR}/decodable/go_video-001_cmyk.jpg|CMYK")
else()
  message(STATUS "the external corpus is absent: the four-component PAM rows are skipped")
endif()
foreach(row ${pam_cases})
  read_row("${row}" input tuple_type)
  run_tool(${input} samples.pam)
  file(STRINGS ${WORK_DIR}/samples.pam header LIMIT_COUNT 8)
  if(NOT tool_status EQUAL 0 OR NOT "${header}" MATCHES ";TUPLTYPE ${tuple_type};ENDHDR")
    message(FATAL_ERROR "${input} -> PAM: exit status ${tool_status}, header ${header}
"
      "${tool_output}")
  endif()
endforeach()

# Outcomes: a failure gives its status, one line on standard error naming the file and saying
# what is wrong, and no output file, not even a partial one (an output that existed, such as the
# input itself, stays as it was). Truncated and damaged data fail in every mode, with the same
# words in each: cut in the middle, cut just before the end marker (which GDI+ would fill in
# silently), junk in the middle of the scan (which GDI+ decodes to grey without a word: the tool
# checks its data with the library's decoder), and a false marker in the middle of a page larger
# than the tool's first read (the rest must be read to tell damage from a cut). A progressive
# file of that size is refused by the library's decoder with a hint, and decoded by GDI+ with a
# note that damage goes unnoticed; so are files with 16-bit quantisation tables or their
# components in separate scans, which the library's decoder refuses and GDI+ decodes. The output
# is never the input: the same name, a link to it, another name for it.
file(WRITE ${WORK_DIR}/junk.jpg "this is not a JPEG file at all")
run_checked(${CJPEG} -quality 90 -progressive -outfile ${WORK_DIR}/progressive.jpg
  ${WORK_DIR}/page.ppm)
run_checked(${PYTHON} -c "import sys
d = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(d[:len(d) // 2])
open(sys.argv[3], 'wb').write(d[:-2])
# A run of junk in the middle of the scan data, with no marker in it.
m = len(d) // 2
open(sys.argv[4], 'wb').write(d[:m] + bytes(range(0x80, 0xfe)) * 4 + d[m + 504:])"
  ${WORK_DIR}/page.jpg ${WORK_DIR}/cut.jpg ${WORK_DIR}/noend.jpg ${WORK_DIR}/damaged.jpg)
run_checked(${PYTHON} ${SOURCE_DIR}/scripts/make-sample.py ${WORK_DIR}/large.ppm 640 830)
run_checked(${CJPEG} -quality 90 -outfile ${WORK_DIR}/large.jpg ${WORK_DIR}/large.ppm)
run_checked(${CJPEG} -quality 97 -progressive -outfile ${WORK_DIR}/large-progressive.jpg
  ${WORK_DIR}/large.ppm)
run_checked(${PYTHON} -c "import sys
d = open(sys.argv[1], 'rb').read()
assert len(d) > 65536 and len(open(sys.argv[3], 'rb').read()) > 65536
m = len(d) // 2
open(sys.argv[2], 'wb').write(d[:m] + b'\\xff\\xe5' + d[m + 2:])  # an APP5 marker mid-scan"
  ${WORK_DIR}/large.jpg ${WORK_DIR}/false-marker.jpg ${WORK_DIR}/large-progressive.jpg)
run_checked(${CJPEG} -quality 5 -outfile ${WORK_DIR}/tables16.jpg ${WORK_DIR}/page.ppm)
file(WRITE ${WORK_DIR}/scans.txt "0;\n1;\n2;\n")
run_checked(${CJPEG} -quality 90 -scans ${WORK_DIR}/scans.txt -outfile ${WORK_DIR}/scans.jpg
  ${WORK_DIR}/page.ppm)
# The input under other names: itself, a JPEG named .ppm, a symbolic link and a hard link to it.
file(COPY_FILE ${WORK_DIR}/page.jpg ${WORK_DIR}/same.jpg)
file(COPY_FILE ${WORK_DIR}/page.jpg ${WORK_DIR}/misnamed.ppm)
file(CREATE_LINK same.jpg ${WORK_DIR}/same-symlink.ppm SYMBOLIC)
file(CREATE_LINK ${WORK_DIR}/same.jpg ${WORK_DIR}/same-hardlink.ppm)
file(MAKE_DIRECTORY ${WORK_DIR}/folder.jpg)
string(REPEAT "n" 245 long_name)  # with .ppm, 249 characters: the temporary name must fit too
# A page followed by five bytes: --stats counts them in the whole input, whatever the piece size.
run_checked(${PYTHON} -c
  "import sys\nopen(sys.argv[1], 'wb').write(open(sys.argv[2], 'rb').read() + b'hello')"
  ${WORK_DIR}/trailing.jpg ${WORK_DIR}/page.jpg)
# Rows: input|output|exit status|mode and options (joined by +)|what standard error says (a
# regular expression).
set(cases "missing.jpg|bad1.ppm|2|streaming"
  "junk.jpg|bad2.ppm|3|streaming|Not a JPEG file: starts with 0x74 0x68"
  "page.jpg|bad4.tif|1|streaming" "grey.jpg|bad5.pgm|1|nonsense"
  "progressive.jpg|prog.ppm|3|streaming|progressive \\(0xC2\\).*try --mode gdiplus"
  "progressive.jpg|prog.ppm|3|buffered|progressive \\(0xC2\\).*try --mode gdiplus"
  "folder.jpg|folder.ppm|2|streaming|cannot read: it is a (directory)?(folder)?\n"
  "same.jpg|same.jpg|4|streaming+-f+pnm|cannot write 'same.jpg': it is the input file"
  "misnamed.ppm|misnamed.ppm|4|buffered|it is the input file"
  "same.jpg|same-symlink.ppm|4|gdiplus|it is the input file under another name"
  "same.jpg|same-hardlink.ppm|4|streaming|it is the input file under another name"
  "page.jpg|${long_name}.ppm|0|streaming"
  "page.jpg|huge-piece.ppm|0|streaming+-p+2147483647+-s|peak memory: [0-9]?[0-9]\\.[0-9] MiB")
foreach(mode streaming buffered gdiplus auto)
  list(APPEND cases "cut.jpg|cut-${mode}.ppm|3|${mode}|[0-9]+ of ${height} rows"
    "noend.jpg|noend-${mode}.ppm|3|${mode}"
    "damaged.jpg|damaged-${mode}.ppm|3|${mode}|damaged data: .*[0-9]+ of ${height} rows"
    "false-marker.jpg|false-marker-${mode}.ppm|3|${mode}|damaged data: .*[0-9]+ of 830 rows")
endforeach()
foreach(mode streaming buffered)
  list(APPEND cases
    "large-progressive.jpg|large-prog-${mode}.ppm|3|${mode}|progressive \\(0xC2\\).*try --mode gdiplus"
    "tables16.jpg|tables16-${mode}.ppm|3|${mode}|refused: .*try --mode gdiplus"
    "scans.jpg|scans-${mode}.ppm|3|${mode}|refused: .*try --mode gdiplus")
endforeach()
set(leftover "leftover: 5 bytes after the end marker in the whole input")
set(pieces 1 7 1000 100000)
if(EMULATOR)
  set(pieces 1 100000)  # each run under Wine takes seconds
endif()
foreach(piece ${pieces})
  foreach(mode streaming gdiplus)
    list(APPEND cases "trailing.jpg|trailing-${mode}-${piece}.ppm|0|${mode}+-p+${piece}+-s|${leftover}")
  endforeach()
endforeach()
if(gdiplus_available)
  list(APPEND cases
    "progressive.jpg|prog-gdiplus.ppm|0|gdiplus|progressive \\(0xC2\\).*cannot be detected")
  foreach(mode gdiplus auto)
    foreach(name large-progressive tables16 scans)
      list(APPEND cases "${name}.jpg|${name}-${mode}.ppm|0|${mode}|cannot be detected")
    endforeach()
  endforeach()
endif()
# A page of unknown length (height 0, its lines in a DNL segment after the scan): the library's
# decoder takes it, GDI+ does not.
set(dnl ${CORPUS_DIR}/decodable/js_baseline_32x32x8_dnl.jpg)
if(EXISTS ${dnl})
  foreach(mode streaming buffered auto)
    list(APPEND cases "${dnl}|dnl-${mode}.pgm|0|${mode}")
  endforeach()
  if(gdiplus_available)
    list(APPEND cases "${dnl}|dnl-gdiplus.pgm|3|gdiplus|page of unknown length.*--mode streaming")
  endif()
else()
  message(STATUS "the external corpus is absent: the page-of-unknown-length rows are skipped")
endif()
foreach(row ${cases})
  read_row("${row}" input output want mode says)
  string(REPLACE "+" ";" mode "${mode}")
  set(before "")
  if(EXISTS ${WORK_DIR}/${output})
    file(SHA256 ${WORK_DIR}/${output} before)
  endif()
  run_tool(-q --mode ${mode} ${input} ${output})
  if(NOT tool_status EQUAL want)
    message(FATAL_ERROR "${input} -> ${output} (${mode}): exit status ${tool_status}, want ${want}\n"
      "${tool_output}")
  endif()
  if(says AND NOT tool_output MATCHES "${says}")
    message(FATAL_ERROR "${input} (${mode}): the message does not say '${says}':\n${tool_output}")
  endif()
  # Every mode that fails on the same data says the same.
  list(LENGTH mode options_count)
  if(want EQUAL 3 AND options_count EQUAL 1)
    string(MAKE_C_IDENTIFIER "said_${input}" said)
    if(DEFINED ${said} AND NOT "${${said}}" STREQUAL "${tool_output}")
      message(FATAL_ERROR "${input}: ${mode} mode says\n${tool_output}another mode said\n"
        "${${said}}")
    endif()
    set(${said} "${tool_output}")
  endif()
  file(GLOB left ${WORK_DIR}/${output}*)
  if(want EQUAL 0)
    if(NOT left STREQUAL "${WORK_DIR}/${output}")
      message(FATAL_ERROR "${input} -> ${output}: files made: ${left}")
    endif()
    continue()
  endif()
  if(before)
    file(SHA256 ${WORK_DIR}/${output} after)
    if(NOT left STREQUAL "${WORK_DIR}/${output}" OR NOT after STREQUAL before)
      message(FATAL_ERROR "${input} -> ${output}: changed, or left behind: ${left}")
    endif()
  elseif(left)
    message(FATAL_ERROR "${input} -> ${output}: left behind: ${left}")
  endif()
  # One line on standard error, naming the file.
  string(REGEX MATCHALL "\n" lines "${tool_output}")
  list(LENGTH lines line_count)
  if(NOT want EQUAL 1 AND (NOT line_count EQUAL 1 OR
      (want EQUAL 3 AND NOT tool_output MATCHES "^jpegdec: ${input}: ")))
    message(FATAL_ERROR "${input} (${mode}): the message is not one line naming the file:\n"
      "${tool_output}")
  endif()
endforeach()

# Images: each output read back by tests/support/cli_image_check.py, a reader of its own (no
# libpng, no libjpeg), and compared exactly with the library's rows (the streaming PPM, or for
# GDI+ the GDI+ PPM): BMP 24-bit and 8-bit grey, bottom-up with padded rows (203 pixels: 609
# bytes padded to 612), to a file and through standard output; --grey as PGM, PNG and BMP,
# by the documented formula; the JFIF density as PNG pHYs and BMP pixels per metre.
run_checked(${PYTHON} -c "import sys
d = bytearray(open(sys.argv[1], 'rb').read())
assert d[6:11] == b'JFIF\\0'
for name, units, x, y in (('dpi', 1, 600, 600), ('dpcm', 2, 100, 50), ('aspect', 0, 2, 1)):
    d[13] = units
    d[14:18] = bytes((x >> 8, x & 255, y >> 8, y & 255))
    open(sys.argv[2] + name + '.jpg', 'wb').write(d)"
  ${WORK_DIR}/page.jpg ${WORK_DIR}/density-)
# Rows: input|output|options|reference|reader's options (arguments joined by +).
set(images "page.jpg|page.bmp||page-streaming.ppm|--phys+none"
  "grey.jpg|grey.bmp||grey-streaming.pgm" "page.jpg|page-grey.bmp|--grey|page-streaming.ppm|--grey"
  "page.jpg|page-grey.pgm|--grey|page-streaming.ppm|--grey"
  "grey.jpg|grey-grey.pgm|--grey|grey-streaming.pgm"
  "page.jpg|page-gdiplus.bmp|-m+gdiplus|page-gdiplus.ppm"
  "density-dpcm.jpg|dpcm.bmp||page-streaming.ppm|--phys+10000,5000,1")
if(HAVE_PNG)
  list(APPEND images "page.jpg|page-grey.png|--grey|page-streaming.ppm|--grey+--phys+none"
    "grey.jpg|grey.png|-m+buffered|grey-streaming.pgm"
    "density-dpi.jpg|dpi.png||page-streaming.ppm|--phys+23622,23622,1"
    "density-dpcm.jpg|dpcm.png||page-streaming.ppm|--phys+10000,5000,1"
    "density-aspect.jpg|aspect.png||page-streaming.ppm|--phys+2,1,0")
endif()
foreach(row ${images})
  read_row("${row}" input output options reference reader)
  string(REPLACE "+" ";" options "${options}")
  string(REPLACE "+" ";" reader "${reader}")
  run_tool(${options} ${input} ${output})
  if(NOT tool_status EQUAL 0)
    message(FATAL_ERROR "${input} -> ${output} (${options}): exit status ${tool_status}\n"
      "${tool_output}")
  endif()
  run_checked(${PYTHON} ${SOURCE_DIR}/tests/support/cli_image_check.py ${WORK_DIR}/${output}
    ${WORK_DIR}/${reference} ${reader})
endforeach()
# BMP through standard output: the image is held until its last row, then written whole. So is
# a BMP to a standard output opened for appending, where every write lands at the end.
run_piped(page.jpg piped.bmp --format bmp - -)
expect_same(piped.bmp page.bmp)
file(WRITE ${WORK_DIR}/appended.bmp "")
execute_process(COMMAND sh -c "\"$0\" \"$@\" >> appended.bmp" ${EMULATOR} ${CLI} --format bmp
  page.jpg - WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "BMP appended to standard output: exit status ${status}\n${err}")
endif()
expect_same(appended.bmp page.bmp)

# Targets that are not new files. A device and a FIFO get the rows in place and stay what they
# were; a symbolic link stays a link and the file it leads to gets the image (made when
# missing); an existing file keeps its permissions (and, replaced by root, its owner; natively,
# as Wine keeps neither) and its extended attributes, a POSIX ACL among them (natively, where the
# file system takes them); a file the user may not write fails with status 4 and stays as it
# was, and so does another user's writable file in a sticky folder (as an ordinary user: run as
# root, the tool drops to nobody with setpriv; under Wine the file's read-only attribute
# answers). The device is made here (never the system's /dev/null, which a failing tool would
# replace for the whole machine), and only by root.
set(targets ${WORK_DIR}/targets)
file(MAKE_DIRECTORY ${targets}/sub)
file(CHMOD ${targets} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE
  GROUP_EXECUTE WORLD_READ WORLD_WRITE WORLD_EXECUTE)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
# Prints the kind, permission bits and owner of a name (not following a link), and its extended
# attributes with their values when it has any.
set(describe "import os, stat, sys
s = os.lstat(sys.argv[1])
kinds = ((stat.S_ISCHR, 'char'), (stat.S_ISFIFO, 'fifo'), (stat.S_ISLNK, 'link'), (stat.S_ISREG, 'file'))
print(next(n for test, n in kinds if test(s.st_mode)), oct(s.st_mode & 0o777), s.st_uid, end='')
try:
    names = sorted(os.listxattr(sys.argv[1], follow_symlinks=False))
except OSError:
    names = []
for name in names:
    print(' %s=%s' % (name, os.getxattr(sys.argv[1], name, follow_symlinks=False).hex()), end='')")
# A POSIX ACL (user::rw-, user:65534:rw-, group::r--, mask::rw-, other::---) and a user
# attribute, set through the attributes that hold them (no setfacl needed).
set(set_attributes "import os, struct, sys
acl = struct.pack('<I', 2) + b''.join(struct.pack('<HHI', tag, permissions, who) for tag, permissions, who in
    ((1, 6, 0xFFFFFFFF), (2, 6, 65534), (4, 4, 0xFFFFFFFF), (0x10, 6, 0xFFFFFFFF), (0x20, 0, 0xFFFFFFFF)))
try:
    os.setxattr(sys.argv[1], 'system.posix_acl_access', acl)
    os.setxattr(sys.argv[1], 'user.jpegdec-test', b'kept')
except OSError as error:
    sys.exit(str(error))")
# Rows: kind|target|exit status|what the target is afterwards (kind, mode, owner: a regex).
set(target_cases "symlink|link.ppm|0|link" "readonly|readonly.ppm|4|file 0o444 "
  "fifo|fifo.ppm|0|fifo" "fifo-junk|fifo-junk.ppm|3|fifo")
if(NOT EMULATOR)
  # Wine shows Windows programs no link whose target is missing, and keeps no file's mode.
  list(APPEND target_cases "dangling|dangling.ppm|0|link" "keepmode|keepmode.ppm|0|file 0o640 "
    "attributes|attributes.ppm|0|as before")
endif()
if(uid STREQUAL "0")
  list(APPEND target_cases "chardev|chardev.ppm|0|char 0o600 ")
  if(NOT EMULATOR)
    list(APPEND target_cases "sticky|sticky/theirs.ppm|4|file 0o666 65533")
  endif()
else()
  message(STATUS "not root: the device target row is skipped (mknod needs root)")
endif()
foreach(row ${target_cases})
  read_row("${row}" kind name want after)
  set(target ${targets}/${name})
  set(command ${EMULATOR} ${CLI} -f pnm ${WORK_DIR}/page.jpg ${target})
  set(result ${target})  # the file that receives the image
  if(kind STREQUAL "symlink")
    file(WRITE ${targets}/sub/real.ppm "old")
    file(CREATE_LINK sub/real.ppm ${target} SYMBOLIC)
    set(result ${targets}/sub/real.ppm)
  elseif(kind STREQUAL "dangling")
    file(CREATE_LINK sub/new.ppm ${target} SYMBOLIC)
    set(result ${targets}/sub/new.ppm)
  elseif(kind MATCHES "^fifo" OR kind STREQUAL "chardev")
    if(kind MATCHES "^fifo")
      run_checked(${PYTHON} -c "import os, sys\nos.mkfifo(sys.argv[1], 0o600)" ${target})
    else()
      run_checked(mknod -m 600 ${target} c 1 3)  # a null device of the test's own
    endif()
    set(result "")
    if(kind STREQUAL "fifo-junk")
      set(command ${EMULATOR} ${CLI} -f pnm ${WORK_DIR}/junk.jpg ${target})
    endif()
    if(kind MATCHES "^fifo")
      # The reader holds the FIFO open before the tool starts (Wine opens a FIFO for reading
      # and writing, so the tool never waits for one) and copies what comes through to a file.
      set(command ${PYTHON} ${SOURCE_DIR}/tests/support/cli_fifo_reader.py ${target}
        ${target}.copy ${command})
      if(kind STREQUAL "fifo")
        set(result ${target}.copy)
      endif()
    endif()
  elseif(kind STREQUAL "keepmode")
    file(WRITE ${target} "old")
    file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
    if(uid STREQUAL "0")
      run_checked(chown 65534:65534 ${target})
      set(after "file 0o640 65534$")
    endif()
  elseif(kind STREQUAL "attributes")
    file(WRITE ${target} "old")
    file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
    execute_process(COMMAND ${PYTHON} -c "${set_attributes}" ${target} RESULT_VARIABLE set_status
      ERROR_VARIABLE set_error)
    if(NOT set_status EQUAL 0)
      message(STATUS "no ACL or extended attribute on this file system (${set_error}): the "
        "attributes row is skipped")
      continue()
    endif()
    execute_process(COMMAND ${PYTHON} -c "${describe}" ${target} OUTPUT_VARIABLE after)
    string(REGEX REPLACE "([][+.*()^$])" "\\\\\\1" after "${after}")
  elseif(kind STREQUAL "readonly" OR kind STREQUAL "sticky")
    if(kind STREQUAL "sticky")
      file(MAKE_DIRECTORY ${targets}/sticky)
      run_checked(${PYTHON} -c "import os, sys\nos.chmod(sys.argv[1], 0o1777)" ${targets}/sticky)
      file(WRITE ${target} "old")
      file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ GROUP_WRITE WORLD_READ
        WORLD_WRITE)
      run_checked(chown 65533:65533 ${target})
    else()
      file(WRITE ${target} "old")
      file(CHMOD ${target} PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
    endif()
    set(result "")
    if(uid STREQUAL "0" AND NOT EMULATOR)
      find_program(SETPRIV setpriv)
      execute_process(COMMAND ${SETPRIV} --reuid=65534 --regid=65534 --clear-groups
        ${CLI} --version RESULT_VARIABLE dropped OUTPUT_QUIET ERROR_QUIET)
      if(NOT SETPRIV OR NOT dropped EQUAL 0)
        message(STATUS "cannot run the tool as nobody: the ${kind} target row is skipped")
        continue()
      endif()
      set(command ${SETPRIV} --reuid=65534 --regid=65534 --clear-groups ${command})
    endif()
  endif()
  execute_process(COMMAND ${command} WORKING_DIRECTORY ${WORK_DIR} TIMEOUT 60
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL want)
    message(FATAL_ERROR "${kind} target: exit status ${status}, want ${want}\n${out}${err}")
  endif()
  if(want EQUAL 4 AND NOT err MATCHES "^jpegdec: cannot write '${target}'")
    message(FATAL_ERROR "${kind} target: the message does not name it: ${err}")
  endif()
  execute_process(COMMAND ${PYTHON} -c "${describe}" ${target} OUTPUT_VARIABLE found)
  if(NOT found MATCHES "^${after}")
    message(FATAL_ERROR "${kind} target: afterwards '${found}', want '${after}'")
  endif()
  if(result)
    file(SHA256 ${result} got)
    file(SHA256 ${WORK_DIR}/page-streaming.ppm expected)
    if(NOT got STREQUAL expected)
      message(FATAL_ERROR "${kind} target: ${result} does not hold the image")
    endif()
  elseif(want EQUAL 4)
    file(READ ${target} kept)
    if(NOT kept STREQUAL "old")
      message(FATAL_ERROR "${kind} target: the file was changed")
    endif()
  elseif(kind STREQUAL "fifo-junk")
    file(SIZE ${target}.copy size)
    if(NOT size EQUAL 0)
      message(FATAL_ERROR "${kind} target: ${size} bytes came through")
    endif()
  endif()
  file(GLOB left ${targets}/*.partial ${targets}/*/*.partial)
  if(left)
    message(FATAL_ERROR "${kind} target: left behind: ${left}")
  endif()
endforeach()

if(NOT EMULATOR)
  run_checked(${PYTHON} ${SOURCE_DIR}/tests/support/cli_interrupt.py ${CLI} ${WORK_DIR}/page.jpg
    ${WORK_DIR}/interrupted.ppm)
endif()
message(STATUS "the installed jpegdec decoded a ${width}x${height} page, colour and grey, in four "
  "modes, through files and standard streams; failures exit cleanly")
