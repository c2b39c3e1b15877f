"""Sample data bundled with the package: realistic findings for demonstrations and tests."""
