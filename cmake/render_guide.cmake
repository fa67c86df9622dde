# Renders the players' guide from Markdown into one HTML page that a player
# opens with a double click: UTF-8, its title from the guide's first heading,
# a little inline style for the tables, and no link to a file the download
# does not hold.
#
#   cmake -DCMARK_GFM=<cmark-gfm> -DGUIDE=<README.zh-CN.md> -DOUTPUT=<page.html> -P render_guide.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var CMARK_GFM GUIDE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "render_guide.cmake needs -D${var}=...")
  endif()
endforeach()

execute_process(COMMAND "${CMARK_GFM}" --to html -e table "${GUIDE}"
                OUTPUT_VARIABLE body RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CMARK_GFM} failed on ${GUIDE}: ${status}")
endif()

file(STRINGS "${GUIDE}" first_heading ENCODING UTF-8 LIMIT_COUNT 1 REGEX "^# ")
string(REGEX REPLACE "^# +" "" title "${first_heading}")
string(REPLACE "&" "&amp;" title "${title}")
string(REPLACE "<" "&lt;" title "${title}")

# The download holds the English README.txt, not the developers' README.md.
string(REPLACE "href=\"README.md\"" "href=\"README.txt\"" body "${body}")

# A line break inside a paragraph becomes a space in the browser, which
# Chinese text does not have between its characters: join the lines where
# both sides are non-ASCII, outside the preformatted blocks, whose lines stay.
set(joined "")
while(TRUE)
  string(FIND "${body}" "<pre" pre_start)
  if(pre_start EQUAL -1)
    set(prose "${body}")
  else()
    string(SUBSTRING "${body}" 0 ${pre_start} prose)
  endif()
  # Twice, since a match takes the character after the break with it: a line
  # of one character has a break on either side.
  foreach(pass 1 2)
    string(REGEX REPLACE "([^ -~\t\n])\n([^ -~\t\n])" "\\1\\2" prose "${prose}")
  endforeach()
  string(APPEND joined "${prose}")
  if(pre_start EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${body}" ${pre_start} -1 body)
  string(FIND "${body}" "</pre>" pre_end)
  math(EXPR pre_end "${pre_end} + 6")
  string(SUBSTRING "${body}" 0 ${pre_end} pre)
  string(APPEND joined "${pre}")
  string(SUBSTRING "${body}" ${pre_end} -1 body)
endwhile()

file(WRITE "${OUTPUT}" "<!DOCTYPE html>
<html lang=\"zh-CN\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${title}</title>
<style>
body { max-width: 60em; margin: 2em auto; padding: 0 1em; line-height: 1.6;
       font-family: \"Microsoft YaHei\", \"PingFang SC\", \"Noto Sans CJK SC\", sans-serif; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #bbb; padding: 0.3em 0.6em; vertical-align: top; }
th { background: #eee; }
code { font-family: Consolas, \"Courier New\", monospace; background: #f3f3f3; padding: 0 0.2em; }
pre { background: #f3f3f3; padding: 0.6em; overflow-x: auto; }
pre code { padding: 0; }
</style>
</head>
<body>
${joined}</body>
</html>
")
