# Every dependency is a Debian package; scripts/setup.sh installs them.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenCV REQUIRED COMPONENTS core imgproc imgcodecs highgui dnn videoio)

add_library(opencv INTERFACE)
target_include_directories(opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(opencv INTERFACE ${OpenCV_LIBS})

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale)
add_library(ffmpeg_dep INTERFACE)
target_link_libraries(ffmpeg_dep INTERFACE PkgConfig::FFMPEG)

# Debian ships cpp-httplib as a compiled library described by pkg-config.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(httplib_dep INTERFACE)
target_link_libraries(httplib_dep INTERFACE PkgConfig::HTTPLIB)

if(QO_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
