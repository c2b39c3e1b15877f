"""brimwick: a cloud cost-waste scanner.

Only the parts the output manifest needs live in this distribution: the
finding schema, the remediation explanations and the native manifest module.
"""

__version__ = "0.4.0"
