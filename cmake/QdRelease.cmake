# The release this tree makes is the newest entry of packaging/changelog,
# which has to carry the project's version. Its date dates the metainfo's
# release and the man pages, so the same source makes the same files
# whenever it is built.
#
# Sets QD_RELEASE_DATE (YYYY-MM-DD) and QD_RELEASE_EPOCH (seconds since
# 1970 at midnight UTC of that day, for SOURCE_DATE_EPOCH).

set(QD_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
file(STRINGS "${QD_CHANGELOG}" head LIMIT_COUNT 1)
if(NOT head MATCHES "^qd1600 \\(([^)]+)\\) ")
    message(FATAL_ERROR "${QD_CHANGELOG}: the first line is not a Debian changelog entry: ${head}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${QD_CHANGELOG} starts with version ${CMAKE_MATCH_1}, the project is "
                        "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()

# The trailer of that entry: " -- Name <mail>  Tue, 08 Dec 2026 05:00:00 +0000".
file(STRINGS "${QD_CHANGELOG}" trailers REGEX "^ -- ")
list(GET trailers 0 trailer)
if(NOT trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "${QD_CHANGELOG}: no date in the entry's last line: ${trailer}")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
if(month LESS 0)
    message(FATAL_ERROR "${QD_CHANGELOG}: no month ${CMAKE_MATCH_2}")
endif()
math(EXPR month "${month} + 1")
math(EXPR day "${day}")
string(REGEX REPLACE "^([0-9])$" "0\\1" mm "${month}")
string(REGEX REPLACE "^([0-9])$" "0\\1" dd "${day}")
set(QD_RELEASE_DATE "${year}-${mm}-${dd}")

# Days since 1970-01-01 of a date in the proleptic Gregorian calendar,
# counted in years that begin in March so that the leap day comes last.
if(month LESS_EQUAL 2)
    math(EXPR y "${year} - 1")
    math(EXPR m "${month} + 9")
else()
    set(y ${year})
    math(EXPR m "${month} - 3")
endif()
math(EXPR days "${y} * 365 + ${y} / 4 - ${y} / 100 + ${y} / 400 + (153 * ${m} + 2) / 5 + ${day} - 1 - 719468")
math(EXPR QD_RELEASE_EPOCH "${days} * 86400")
message(STATUS "Release ${PROJECT_VERSION} of ${QD_RELEASE_DATE}")
