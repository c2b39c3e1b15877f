"""Verify stored scan documents: one module per concern.

- ``sources``: opening an input: files, URLs, standard input, compressed or not, streams as their bytes arrive;
- ``lines``: an input cut into lines, in byte ranges, read ahead;
- ``positions``: where a document starts (a column for documents sharing a line), json's positions made the file's;
- ``documents``: lines parsed into values, exactly as ``json.loads`` gives them;
- ``streams``: a stream of values separated by whitespace, read value by value in one pass;
- ``nesting``: the reader's nesting limit, the same in every process;
- ``resync``: where reading resumes after a damaged value;
- ``readings``: what other readers would read differently (keys given twice, NaN);
- ``verdicts``: one parsed document in, one verdict out, in plain words;
- ``audit``: the strict audit of what the checksum does not cover;
- ``findings``: the strict audit of each finding, by the host's own rules;
- ``planning``: the plan of a run, made once: every input sized once, its tasks cut once;
- ``tasks``: a unit of work (an input or a byte range of one) and running it;
- ``remote``: reading an object in storage in few, large requests;
- ``window``: tasks in flight on an executor, results handed back in order;
- ``ordered``: verdicts in input order from any executor, and their labels;
- ``executors``: runs over worker processes or on a Dask cluster;
- ``cluster``: how tasks travel to a Dask cluster, and when to give up on it;
- ``report``: counting verdicts, the verdict line (text or JSON), the summary, the exit status;
- ``escaping``: names and reasons kept on one line and away from the terminal's controls;
- ``writing`` and ``progress``: writing verdict lines as they come, and the progress bar beside them;
- ``sizes``: sizes as operators write them (``512K``, ``10KB``, ``1MiB``).

``brimwick.output.verification`` gathers their public names in one place for
callers; the command line is ``brimwick.output.cli``. Importing this package
imports none of its modules.
"""
