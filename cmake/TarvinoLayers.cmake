# The layers of the tree, checked at configure time.
#
#   app/ (every window)          cli/  devsim/  (programs)
#        |                          |
#   fleet/      many devices, over time
#   operations/ one operation on one device
#   bus/  ftp/  the controller bus and FTP clients
#   protocol/   the datagram engine, device records, addresses
#   platform/   what depends on the operating system
#
# The headless folders link Qt Core/Network only. A target that makes a report (fonts, PDF) may add
# Qt Gui by setting its property TARVINO_REPORT_TARGET; none may reach Qt Widgets. Which folder a
# headless target may use follows from what it links: a folder's headers are seen only by the
# targets that link it.

set(TARVINO_HEADLESS_DIRS platform protocol bus ftp operations fleet)

# Every library that `target` links, directly or through what it links (targets and plain names).
function(tarvino_collect_links target out)
    set(seen "")
    set(queue ${target})
    while(queue)
        list(POP_FRONT queue current)
        if(NOT TARGET ${current})
            continue()
        endif()
        get_target_property(aliased ${current} ALIASED_TARGET)
        if(aliased)
            set(current ${aliased})
        endif()
        set(links "")
        get_target_property(type ${current} TYPE)
        if(NOT type STREQUAL "INTERFACE_LIBRARY")
            get_target_property(direct ${current} LINK_LIBRARIES)
            if(direct)
                list(APPEND links ${direct})
            endif()
        endif()
        get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
        if(interface)
            list(APPEND links ${interface})
        endif()
        foreach(link IN LISTS links)
            string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
            if(NOT link IN_LIST seen)
                list(APPEND seen ${link})
                list(APPEND queue ${link})
            endif()
        endforeach()
    endwhile()
    set(${out} ${seen} PARENT_SCOPE)
endfunction()

foreach(dir IN LISTS TARVINO_HEADLESS_DIRS)
    set(path ${PROJECT_SOURCE_DIR}/${dir})
    if(NOT EXISTS ${path}/CMakeLists.txt)
        continue()
    endif()
    get_property(targets DIRECTORY ${path} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        tarvino_collect_links(${target} links)
        get_target_property(report ${target} TARVINO_REPORT_TARGET)
        foreach(link IN LISTS links)
            if(link MATCHES "Qt6?::Widgets")
                message(FATAL_ERROR "${dir}/: ${target} reaches ${link}: the headless layers never use widgets")
            endif()
            if(link MATCHES "Qt6?::Gui" AND NOT report)
                message(FATAL_ERROR "${dir}/: ${target} reaches ${link}: only a report target may use Qt Gui")
            endif()
        endforeach()
    endforeach()

    # A header of Qt Widgets named in a headless source is a layer crossed, even before it links.
    file(GLOB_RECURSE sources ${path}/*.h ${path}/*.cpp)
    foreach(source IN LISTS sources)
        file(STRINGS ${source} widgetIncludes
             REGEX "^[ \t]*#[ \t]*include[ \t]*<(QtWidgets/.*|Q(Widget|Application|MessageBox|Dialog|MainWindow|Label|PushButton|LineEdit|ProgressBar|Layout|[VH]BoxLayout|GridLayout|TreeView|TableView|Menu|Action|Style))>")
        if(widgetIncludes)
            message(FATAL_ERROR "${source} includes a widget header (${widgetIncludes}): the headless layers never use widgets")
        endif()
    endforeach()
endforeach()

# Includes name their layer ("protocol/datagramengine.h"): a headless source may include its own
# layer's headers and those of the layers below it, never one above. The order, lowest first:
set(TARVINO_LAYER_ORDER platform protocol "bus|ftp" operations fleet)
set(below "")
foreach(level IN LISTS TARVINO_LAYER_ORDER)
    string(REPLACE "|" ";" dirs "${level}")
    set(allowed ${below} ${dirs})
    list(JOIN allowed "|" allowedPattern)
    foreach(dir IN LISTS dirs)
        file(GLOB_RECURSE sources ${PROJECT_SOURCE_DIR}/${dir}/*.h ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
        foreach(source IN LISTS sources)
            file(STRINGS ${source} projectIncludes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
            foreach(line IN LISTS projectIncludes)
                string(REGEX REPLACE "^[^\"]*\"([a-z]+)/.*$" "\\1" layer "${line}")
                if(NOT layer MATCHES "^(${allowedPattern})$")
                    message(FATAL_ERROR "${source}: ${line}: ${dir}/ never includes ${layer}/ (a layer above it)")
                endif()
            endforeach()
        endforeach()
    endforeach()
    list(APPEND below ${dirs})
endforeach()

# A window type named in a headless source through a forward declaration (class QWidget;, class
# TPropertiesDialog;) ties it to the windows as an include would, only unseen by the check above.
foreach(dir IN LISTS TARVINO_HEADLESS_DIRS)
    file(GLOB_RECURSE sources ${PROJECT_SOURCE_DIR}/${dir}/*.h ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    foreach(source IN LISTS sources)
        file(STRINGS ${source} windowDeclarations
             REGEX "^[ \t]*(class|struct)[ \t]+(QWidget|QDialog|QMainWindow|T[A-Za-z0-9_]*(Dialog|Window|Form))[ \t]*;")
        if(windowDeclarations)
            message(FATAL_ERROR "${source} declares a window type (${windowDeclarations}): the headless layers never name a window")
        endif()
    endforeach()
endforeach()
