from conftest import Parameter


def test_reads_file(write_param):
    p = Parameter(write_param("a=1\n"))
    assert p["a"] == "1"
