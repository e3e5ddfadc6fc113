# The character conversion tables and the two static escape tables.
qg_add_test(text_test SOURCES text_test.cc LIBS qg_text)
