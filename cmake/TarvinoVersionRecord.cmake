# tarvino_embed_version_record(<target>
#     [COMPANY text] [DESCRIPTION text] [FILE_VERSION text] [INTERNAL_NAME text]
#     [COPYRIGHT text] [TRADEMARKS text] [ORIGINAL_FILENAME text] [PRODUCT_NAME text]
#     [PRODUCT_VERSION text] [COMMENTS text] [LANGUAGE number] [CODE_PAGE number])
#
# Embeds a version record in an executable: the standard version resource on Windows,
# on ELF systems the record that app/about/versionrecord.h describes, in the section
# ".tarvino_version", where TVersionInfo::GetInfo finds it.
#
# A key left out takes Tarvino's own value (the defaults below); a key given an empty
# text is left out of the record, and GetInfo reads it as empty. FILE_VERSION defaults
# to the project's version in four parts, PRODUCT_VERSION to the project's version,
# INTERNAL_NAME and ORIGINAL_FILENAME to the target's output name. LANGUAGE and
# CODE_PAGE (decimal or 0x hexadecimal) make the record's one translation entry.
#
# What was embedded is also written, one raw value per file named after its key
# (CompanyName, ..., Comments, and Translation as eight hexadecimal digits), to the
# folder named by the target's TARVINO_VERSION_RECORD_VALUES property.
include_guard(GLOBAL)

function(_tarvino_version_record_c_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    string(REPLACE "\n" "\\n" text "${text}")
    string(REPLACE "\r" "\\r" text "${text}")
    string(REPLACE "\t" "\\t" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

function(_tarvino_version_record_rc_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    string(REPLACE "\n" "\\n" text "${text}")
    string(REPLACE "\r" "\\r" text "${text}")
    string(REPLACE "\t" "\\t" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# A 16-bit number as four upper-case hexadecimal digits.
function(_tarvino_version_record_hex4 out name number)
    if(NOT number MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
        message(FATAL_ERROR "tarvino_embed_version_record: ${name} '${number}' is not a number")
    endif()
    math(EXPR value "${number}")
    if(value LESS 0 OR value GREATER 65535)
        message(FATAL_ERROR "tarvino_embed_version_record: ${name} '${number}' does not fit in 16 bits")
    endif()
    math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 2 -1 hex)
    string(TOUPPER "${hex}" hex)
    string(LENGTH "${hex}" length)
    while(length LESS 4)
        string(PREPEND hex "0")
        math(EXPR length "${length} + 1")
    endwhile()
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()

function(tarvino_embed_version_record target)
    if(NOT TARGET ${target})
        message(FATAL_ERROR "tarvino_embed_version_record: no target '${target}'")
    endif()
    # The record key of each argument, in the order the record lists them. (Set here,
    # not beside the include, whose variables only the including folder would see.)
    set(arguments COMPANY DESCRIPTION FILE_VERSION INTERNAL_NAME COPYRIGHT TRADEMARKS
        ORIGINAL_FILENAME PRODUCT_NAME PRODUCT_VERSION COMMENTS)
    set(keys CompanyName FileDescription FileVersion InternalName LegalCopyright LegalTradeMarks
        OriginalFilename ProductName ProductVersion Comments)

    get_target_property(output_name ${target} OUTPUT_NAME)
    if(NOT output_name)
        set(output_name ${target})
    endif()
    set(project_numbers "${PROJECT_VERSION}")
    string(REPLACE "." ";" project_numbers "${project_numbers}")
    list(LENGTH project_numbers count)
    while(count LESS 4)
        list(APPEND project_numbers 0)
        math(EXPR count "${count} + 1")
    endwhile()
    list(JOIN project_numbers "." four_part_version)

    set(value_COMPANY "Tarvino Project")
    set(value_DESCRIPTION "Tarvino device maintenance tool")
    set(value_FILE_VERSION "${four_part_version}")
    set(value_INTERNAL_NAME "${output_name}")
    set(value_COPYRIGHT "Copyright © The Tarvino developers")
    set(value_TRADEMARKS "")
    set(value_ORIGINAL_FILENAME "${output_name}${CMAKE_EXECUTABLE_SUFFIX}")
    set(value_PRODUCT_NAME "Tarvino")
    set(value_PRODUCT_VERSION "${PROJECT_VERSION}")
    set(value_COMMENTS "Finds, configures and upgrades networked field devices")
    set(value_LANGUAGE "0x0409")
    set(value_CODE_PAGE "0x04E4")

    # Read by hand rather than with cmake_parse_arguments, which cannot tell a value
    # given empty from one left out, and so that values may hold semicolons.
    math(EXPR last "${ARGC} - 1")
    set(i 1)
    while(i LESS_EQUAL last)
        set(name "${ARGV${i}}")
        if(NOT name IN_LIST arguments AND NOT name MATCHES "^(LANGUAGE|CODE_PAGE)$")
            message(FATAL_ERROR "tarvino_embed_version_record: unknown argument '${name}'")
        endif()
        math(EXPR i "${i} + 1")
        if(i GREATER last)
            message(FATAL_ERROR "tarvino_embed_version_record: ${name} needs a value")
        endif()
        set(value_${name} "${ARGV${i}}")
        math(EXPR i "${i} + 1")
    endwhile()

    _tarvino_version_record_hex4(language LANGUAGE "${value_LANGUAGE}")
    _tarvino_version_record_hex4(code_page CODE_PAGE "${value_CODE_PAGE}")
    set(table "${language}${code_page}")

    set(values_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_record")
    file(REMOVE_RECURSE "${values_dir}")
    file(WRITE "${values_dir}/Translation" "${table}")
    set_property(TARGET ${target} PROPERTY TARVINO_VERSION_RECORD_VALUES "${values_dir}")

    set(c_entries "")
    set(rc_entries "")
    foreach(argument key IN ZIP_LISTS arguments keys)
        set(value "${value_${argument}}")
        if(value STREQUAL "")
            continue()
        endif()
        file(WRITE "${values_dir}/${key}" "${value}")
        _tarvino_version_record_c_string(c_value "${value}")
        string(APPEND c_entries "    \"\\\\StringFileInfo\\\\${table}\\\\${key}\" \"\\0\" ${c_value} \"\\0\"\n")
        _tarvino_version_record_rc_string(rc_value "${value}")
        string(APPEND rc_entries "            VALUE \"${key}\", ${rc_value}\n")
    endforeach()

    if(WIN32)
        # The numeric version of the resource's fixed part: FILE_VERSION when it is
        # made of numbers, otherwise the project's version.
        set(numbers "${value_FILE_VERSION}")
        if(NOT numbers MATCHES "^[0-9]+([.,] *[0-9]+)*$")
            set(numbers "${four_part_version}")
        endif()
        string(REGEX REPLACE "[., ]+" ";" numbers "${numbers}")
        list(LENGTH numbers count)
        while(count LESS 4)
            list(APPEND numbers 0)
            math(EXPR count "${count} + 1")
        endwhile()
        list(SUBLIST numbers 0 4 numbers)
        list(JOIN numbers "," numeric_version)
        list(JOIN project_numbers "," numeric_product_version)

        set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_record.rc")
        string(CONCAT content
            "// Generated by tarvino_embed_version_record() for ${target}; edits are lost.\n"
            "#pragma code_page(65001)\n"
            "1 VERSIONINFO\n"
            "FILEVERSION ${numeric_version}\n"
            "PRODUCTVERSION ${numeric_product_version}\n"
            "FILEFLAGSMASK 0x3fL\n"
            "FILEFLAGS 0x0L\n"
            "FILEOS 0x40004L\n"   # VOS_NT_WINDOWS32
            "FILETYPE 0x1L\n"     # VFT_APP
            "FILESUBTYPE 0x0L\n"
            "BEGIN\n"
            "    BLOCK \"StringFileInfo\"\n"
            "    BEGIN\n"
            "        BLOCK \"${table}\"\n"
            "        BEGIN\n"
            "${rc_entries}"
            "        END\n"
            "    END\n"
            "    BLOCK \"VarFileInfo\"\n"
            "    BEGIN\n"
            "        VALUE \"Translation\", 0x${language}, 0x${code_page}\n"
            "    END\n"
            "END\n")
    elseif(APPLE)
        message(WARNING "tarvino_embed_version_record: ${target} gets no version record on this system")
        return()
    else()
        set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_record.cpp")
        string(CONCAT content
            "// Generated by tarvino_embed_version_record() for ${target}; edits are lost.\n"
            "// The layout of the record is described in app/about/versionrecord.h.\n"
            "#if defined(__has_attribute)\n"
            "#if __has_attribute(retain)\n"
            "#define TARVINO_RECORD_RETAIN __attribute__((retain))\n"
            "#endif\n"
            "#endif\n"
            "#ifndef TARVINO_RECORD_RETAIN\n"
            "#define TARVINO_RECORD_RETAIN\n"
            "#endif\n"
            "\n"
            "// Nothing refers to the record: it is only read from the file, so it must be kept.\n"
            "__attribute__((section(\".tarvino_version\"), used)) TARVINO_RECORD_RETAIN\n"
            "static const char tarvinoVersionRecord[] =\n"
            "    \"TVREC\" \"\\0\" \"1\" \"\\0\"\n"
            "    \"\\\\VarFileInfo\\\\Translation\" \"\\0\" \"${language} ${code_page}\" \"\\0\"\n"
            "${c_entries}"
            "    \"\"; // the terminating NUL of the array is the empty path that ends the record\n")
    endif()

    # Rewritten only when it changes, so that configuring again rebuilds nothing.
    set(previous "")
    if(EXISTS "${source}")
        file(READ "${source}" previous)
    endif()
    if(NOT previous STREQUAL content)
        file(WRITE "${source}" "${content}")
    endif()
    target_sources(${target} PRIVATE "${source}")
endfunction()
