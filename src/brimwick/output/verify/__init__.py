"""Verify stored scan documents: one module per concern.

- ``lines``: an input cut into lines, in byte ranges, read ahead;
- ``documents``: lines parsed into values, exactly as ``json.loads`` gives them.

Importing this package imports none of its modules.
"""
