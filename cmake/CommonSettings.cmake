# Settings every target of the project links: language level, warnings, and the Qt macros that
# keep signal/slot code unambiguous.
add_library(kv3_common INTERFACE)
target_compile_features(kv3_common INTERFACE cxx_std_17)
target_compile_options(kv3_common INTERFACE -Wall -Wextra $<$<BOOL:${KV3_WERROR}>:-Werror>)
target_compile_definitions(kv3_common INTERFACE
    QT_NO_KEYWORDS
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER)
