# Run by the cli_smoke test (tests/cli_smoke.cmake) with PYTHON, CJPEG, CLI, EMULATOR (may be
# empty), SOURCE_DIR and WORK_DIR defined.
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

# Runs the tool; sets tool_status, tool_output in the caller.
function(run_tool)
  execute_process(COMMAND ${EMULATOR} ${CLI} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(tool_status ${status} PARENT_SCOPE)
  set(tool_output "${out}${err}" PARENT_SCOPE)
endfunction()

run_checked(${PYTHON} ${SOURCE_DIR}/scripts/make-sample.py ${WORK_DIR}/page.ppm ${width} ${height})
run_checked(${CJPEG} -quality 90 -sample 2x2 -restart 2 -outfile ${WORK_DIR}/page.jpg
  ${WORK_DIR}/page.ppm)
file(SIZE ${WORK_DIR}/page.ppm source_size)

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
    run_tool(--mode ${mode} --piece 1000 --stats ${name}.jpg ${out})
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
  file(SHA256 ${WORK_DIR}/${name}-streaming.${extension} streamed)
  file(SHA256 ${WORK_DIR}/${name}-buffered.${extension} buffered)
  if(NOT streamed STREQUAL buffered)
    message(FATAL_ERROR "${name}: streaming and buffered outputs differ")
  endif()
endforeach()

# Failures: a status other than 0 and no output file, not even a partial one.
file(WRITE ${WORK_DIR}/junk.jpg "this is not a JPEG file at all")
run_checked(${PYTHON} -c
  "import sys\nd = open(sys.argv[1], 'rb').read()\nopen(sys.argv[2], 'wb').write(d[:len(d) // 2])"
  ${WORK_DIR}/page.jpg ${WORK_DIR}/cut.jpg)
foreach(case "missing.jpg;bad1.ppm;2" "junk.jpg;bad2.ppm;3" "cut.jpg;bad3.ppm;3"
    "page.jpg;bad4.bmp;1")
  list(GET case 0 input)
  list(GET case 1 output)
  list(GET case 2 want)
  run_tool(--quiet --mode streaming ${input} ${output})
  if(NOT tool_status EQUAL want)
    message(FATAL_ERROR "${input} -> ${output}: exit status ${tool_status}, want ${want}\n"
      "${tool_output}")
  endif()
  if(EXISTS ${WORK_DIR}/${output} OR EXISTS ${WORK_DIR}/${output}.partial)
    message(FATAL_ERROR "${input} -> ${output}: output left behind")
  endif()
endforeach()
message(STATUS "jpegdec decoded a ${width}x${height} page, colour and grey, in four modes; "
  "failures exit cleanly")
