# Writes the page's index.html with its style sheet and script inside it: Mosquitto's http_dir
# answers each request on a connection of its own, a few tenths of a second apiece, so every
# file the page does not ask for is drawn that much sooner.
#   cmake -DSOURCE=web -DOUTPUT=page/index.html -P inline.cmake
file(READ ${SOURCE}/index.html page)
file(READ ${SOURCE}/style.css css)
file(READ ${SOURCE}/line.js js)
string(FIND "${css}" "</style" css_end)
string(FIND "${js}" "</script" js_end)
if(NOT css_end EQUAL -1 OR NOT js_end EQUAL -1)
  message(FATAL_ERROR "style.css or line.js holds the tag that would end it inside index.html")
endif()
foreach(tag [[<link rel="stylesheet" href="style.css">]] [[<script src="line.js" defer></script>]]
            [[</body>]])
  string(FIND "${page}" "${tag}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "index.html lacks ${tag}")
  endif()
endforeach()
string(REPLACE [[<link rel="stylesheet" href="style.css">]] "<style>\n${css}</style>" page "${page}")
string(REPLACE [[<script src="line.js" defer></script>]] "" page "${page}")
string(REPLACE [[</body>]] "<script>\n${js}</script>\n</body>" page "${page}")
file(WRITE ${OUTPUT} "${page}")
