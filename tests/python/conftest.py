import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "asan: also run against the AddressSanitizer build")


@pytest.fixture(scope="session")
def quorvel():
    import quorvel as module

    return module
