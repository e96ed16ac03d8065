# Text for the JSON files the build writes (payload manifest, bill of materials).

# quorlith_json_string(<out var> <text>): <text> as a quoted JSON string.
function(quorlith_json_string var text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  foreach(code RANGE 1 31)
    string(ASCII ${code} char)
    string(FIND "${text}" "${char}" at)
    if(at GREATER_EQUAL 0)
      math(EXPR high "${code} / 16")
      math(EXPR low "${code} % 16")
      string(SUBSTRING "0123456789abcdef" ${low} 1 low)
      string(REPLACE "${char}" "\\u00${high}${low}" text "${text}")
    endif()
  endforeach()
  set(${var} "\"${text}\"" PARENT_SCOPE)
endfunction()
