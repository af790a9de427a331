# Run by the cli_smoke test (tests/cli_smoke.cmake) with PYTHON, CJPEG, BUILD_DIR, CLI_NAME,
# BINDIR, VERSION, HAVE_PNG, EMULATOR (may be empty), SOURCE_DIR, CORPUS_DIR (may be absent) and
# WORK_DIR defined.
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
  string(REPLACE "|" ";" case "${row}")
  list(GET case 0 input)
  list(GET case 1 tuple_type)
  run_tool(${input} samples.pam)
  file(STRINGS ${WORK_DIR}/samples.pam header LIMIT_COUNT 8)
  if(NOT tool_status EQUAL 0 OR NOT "${header}" MATCHES ";TUPLTYPE ${tuple_type};ENDHDR")
    message(FATAL_ERROR "${input} -> PAM: exit status ${tool_status}, header ${header}
"
      "${tool_output}")
  endif()
endforeach()

# Failures: a status other than 0 and no output file, not even a partial one. Truncated data
# fails in every mode: cut in the middle, and cut just before the end marker (which GDI+ would
# fill in silently).
file(WRITE ${WORK_DIR}/junk.jpg "this is not a JPEG file at all")
run_checked(${PYTHON} -c
  "import sys\nd = open(sys.argv[1], 'rb').read()\nopen(sys.argv[2], 'wb').write(d[:len(d) // 2])\nopen(sys.argv[3], 'wb').write(d[:-2])"
  ${WORK_DIR}/page.jpg ${WORK_DIR}/cut.jpg ${WORK_DIR}/noend.jpg)
# Rows: input|output|exit status|mode.
set(cases "missing.jpg|bad1.ppm|2|streaming" "junk.jpg|bad2.ppm|3|streaming"
  "page.jpg|bad4.bmp|1|streaming" "grey.jpg|bad5.pgm|1|nonsense")
foreach(mode streaming buffered gdiplus auto)
  list(APPEND cases "cut.jpg|cut-${mode}.ppm|3|${mode}" "noend.jpg|noend-${mode}.ppm|3|${mode}")
endforeach()
foreach(row ${cases})
  string(REPLACE "|" ";" case "${row}")
  list(GET case 0 input)
  list(GET case 1 output)
  list(GET case 2 want)
  list(GET case 3 mode)
  run_tool(-q --mode ${mode} ${input} ${output})
  if(NOT tool_status EQUAL want)
    message(FATAL_ERROR "${input} -> ${output} (${mode}): exit status ${tool_status}, want ${want}\n"
      "${tool_output}")
  endif()
  file(GLOB left ${WORK_DIR}/${output}*)
  if(left)
    message(FATAL_ERROR "${input} -> ${output}: left behind: ${left}")
  endif()
  # One line on standard error, naming the file.
  string(REGEX MATCHALL "\n" lines "${tool_output}")
  list(LENGTH lines line_count)
  if(want EQUAL 3 AND (NOT tool_output MATCHES "^jpegdec: ${input}: " OR NOT line_count EQUAL 1))
    message(FATAL_ERROR "${input} (${mode}): the message is not one line naming the file:\n"
      "${tool_output}")
  endif()
endforeach()
if(NOT EMULATOR)
  run_checked(${PYTHON} ${SOURCE_DIR}/tests/support/cli_interrupt.py ${CLI} ${WORK_DIR}/page.jpg
    ${WORK_DIR}/interrupted.ppm)
endif()
message(STATUS "the installed jpegdec decoded a ${width}x${height} page, colour and grey, in four "
  "modes, through files and standard streams; failures exit cleanly")
