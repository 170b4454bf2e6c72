import _tamrel_manifest as tm


def test_module_imports():
    assert len(tm.__all__) == 19
