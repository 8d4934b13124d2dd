"""quor_engine: an embedded database of statistical distributions.

A database is a directory. For every variable and every combination of
dimension values it keeps a fixed-bin histogram (continuous variables) or a
table of category counts (categorical variables). `QuorDB` opens or creates
one, ingests CSV / JSON-lines files or lists of dicts, and answers the query
language of `QuorDB.query` with `QueryResult` tables of text cells.

Every call runs on the calling thread and keeps the interpreter lock for its
whole length. A `QuorDB` belongs to the thread that made it. No class can be
instantiated or subclassed from Python: objects come from `QuorDB.open`,
`QuorDB.create` and the methods that return results. An internal failure is
raised as `PanicException`, which derives from `BaseException` (not from
`Exception`) and is not a module attribute.
"""

from typing import Any, Literal, Sequence, SupportsIndex, final

__all__ = ["QuorDB", "QueryResult", "DatabaseStats", "IngestReport", "QuorError"]

@final
class QuorDB:
    """One open database directory, with its comparison cache.

    Use it as a context manager: leaving the `with` block flushes and closes
    it. Destroying an open object releases it without flushing (`ingest` and
    `ingest_records` flush before they return). Every method must be called
    from the thread that created the object; from another thread it raises
    `PanicException`. A method that Python code running inside another call
    on the same object re-enters raises RuntimeError "Already borrowed" or
    "Already mutably borrowed".
    """

    @staticmethod
    def open(path: str, mode: str | None = None) -> QuorDB:
        """Open the database in the directory `path`.

        Args:
            path: the database directory, as a str (not a path object).
            mode: "read_write" or "rw" (the default, also for None), or
                "read_only" or "ro"; compared exactly. A read-write open takes
                an exclusive lock on "lock.edb" and waits while another
                process holds it; a read-only open takes no lock, and every
                change is refused.

        Raises:
            TypeError: `path` or `mode` is not a str.
            ValueError: "unknown mode '{mode}'; use 'read_only' or
                'read_write'".
            QuorError: the directory or a data file cannot be read ("database
                path does not exist: {path}", "read file {path}: ..."), or the
                same process already holds the directory read-write.
        """

    @staticmethod
    def create(path: str) -> QuorDB:
        """Create the database directory `path` (with parents) and open it
        read-write, with raw logging on.

        Writes only the files that are missing, so `create` of an existing
        database opens it unchanged.

        Args:
            path: the database directory, as a str.

        Raises:
            TypeError: `path` is not a str.
            QuorError: the directory or its files cannot be made or read, or
                this process already holds the directory read-write.
        """

    def flush(self) -> None:
        """Write the four data files that changed since they were last
        written or read; a read-only database writes nothing.

        Raises:
            RuntimeError: "database is closed".
            QuorError: a file cannot be written.
        """

    def close(self) -> None:
        """Flush, then release the database (and its lock) in every case.

        Closing a closed object does nothing.

        Raises:
            QuorError: the flush failed; the object is closed all the same.
        """

    def __enter__(self) -> QuorDB:
        """Return the object itself (also when it is closed)."""

    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]:
        """Close as `close` does and return False, so that an exception of
        the `with` block propagates.

        Args:
            _exc_type: ignored.
            _exc_val: ignored.
            _exc_tb: ignored.

        Raises:
            QuorError: the flush failed; the object is closed all the same.
        """

    def stats(self) -> DatabaseStats:
        """Count the stored distributions, their samples, the variables and
        the dimensions.

        Raises:
            RuntimeError: "database is closed".
        """

    def schema(self) -> dict[str, list[Any]]:
        """The schema as a dict with the keys "variables", "dimensions" and
        "joints".

        A variable is {"name": str, "var_type": {"Continuous": {"bins": int,
        "range": [min, max] or None}}} or {"name": str, "var_type":
        {"Categorical": {"categories": [str, ...], "allow_unknown": bool}}}; a
        dimension is {"name": str, "source_column": str, "granularity": str
        or None}; a joint is a list of two variable names.

        Raises:
            RuntimeError: "database is closed".
        """

    def query(self, sql_str: str) -> QueryResult:
        """Run one statement of the query language and return its table.

        The statements: COMPARE ... BETWEEN / ACROSS, EXPLAIN, TRACK, SHOW,
        RANK, MI, CMI, CORRELATIONS, PAIRWISE, NEAREST, EXPORT, STATS, SCHEMA
        and DIMENSIONS. Keywords are reserved in every letter case, words are
        separated by white space, nothing is quoted, and words after a
        complete statement are ignored. Queries never change the database.

        Args:
            sql_str: the statement.

        Raises:
            TypeError: `sql_str` is not a str.
            RuntimeError: "database is closed".
            QuorError: "parse error: ..." for a statement that does not
                parse, or the failure of the statement (for instance
                "distribution not found for variable '{v}' and dimensions
                {keys}").
        """

    def ingest(
        self,
        path: str,
        max_categories: SupportsIndex | None = None,
        date_columns: Sequence[str] | None = None,
        date_granularity: str | None = None,
    ) -> IngestReport:
        """Ingest a CSV file (".csv") or a JSON-lines file (".json",
        ".jsonl"), then flush.

        The schema is inferred from the first 1000 records: columns the
        database does not yet define are added, definitions already stored
        stay as they are. Numeric columns become histograms of 20 bins over
        the range of those records; integer columns with at most 200
        distinct values between 1900 and 2100, and date-like texts, become
        date dimensions; other texts become categorical variables, or
        dimensions when they have more than `max_categories` distinct values.
        A record that lacks a dimension column is dropped.

        Args:
            path: the file, as a str.
            max_categories: the most distinct texts that still make a
                categorical variable; 50 when None.
            date_columns: columns that always become date dimensions (a list
                or tuple of str; a single str is refused).
            date_granularity: "daily", "weekly", "monthly" or "yearly" (the
                default) buckets dates; any other text keeps them unbucketed.

        Raises:
            TypeError: an argument of the wrong type, including a str for
                `date_columns` ("Can't extract `str` to `Vec`").
            OverflowError: `max_categories` is negative or above 2**64 - 1.
            RuntimeError: "database is closed".
            QuorError: the file cannot be read or parsed, its format is not
                supported, the database is read-only ("database opened in
                read-only mode"), or the flush failed.
        """

    def ingest_records(self, records: list[dict[str, Any]]) -> IngestReport:
        """Count a list of dicts against the stored schema, then flush.

        No schema is inferred: keys that name no stored variable or
        dimension column are ignored, and a dict that lacks a dimension
        column is dropped (into a database without a schema nothing is
        stored). Values: None is null, bool stays bool, ints of 64 bits stay
        integers, other numbers are floats (NaN and infinities become null),
        str is text, and anything else becomes the text of its str() (a
        pandas Timestamp arrives as "2012-01-01 00:00:00").

        Args:
            records: a list of dicts with str keys.

        Raises:
            TypeError: `records` is not a list, an item is not a dict, or a
                key is not a str; nothing is applied.
            RuntimeError: "database is closed".
            QuorError: the database is read-only, or applying or flushing
                failed.
        """

@final
class QueryResult:
    """The table a statement answers with: a header and rows of text cells.

    Numbers arrive as formatted text. `repr()` and `str()` give the aligned
    table, `len()` the number of rows. A result is an immutable copy: it
    outlives the `QuorDB` that made it and may be read from any thread.
    """

    @property
    def header(self) -> list[str]:
        """The column titles, as a new list on every read."""

    @property
    def rows(self) -> list[list[str]]:
        """The rows, each a list of cells, as new lists on every read."""

    def to_csv(self) -> str:
        """The table as CSV: header line first, "\\n" line ends, a cell that
        holds a comma, a quotation mark or a line feed enclosed in quotation
        marks."""

    def to_json(self) -> str:
        """The table as a JSON array of objects, one per row, keyed by the
        titles, every value a string."""

    def to_dicts(self) -> list[dict[str, str]]:
        """One dict per row, title to cell; for a repeated title the later
        cell wins. `pandas.DataFrame(result.to_dicts())` makes a frame of
        str columns."""

    def __len__(self) -> int:
        """The number of rows."""

    def __repr__(self) -> str:
        """The aligned table: titles, a rule, one line per row."""

@final
class IngestReport:
    """What an ingest did. Text form: "IngestReport(processed={},
    skipped={}, distributions_updated={}, elapsed_ms={})"."""

    @property
    def total_rows(self) -> int:
        """Records taken in: for a file ingest those that had every dimension
        column (the others are dropped uncounted); for `ingest_records` the
        number of dicts, dropped ones included."""

    @property
    def processed_rows(self) -> int:
        """Records that were counted."""

    @property
    def skipped_rows(self) -> int:
        """Records taken in that produced no counts (a file's records are
        skipped only when two dimensions share a source column)."""

    @property
    def distributions_updated(self) -> int:
        """Distributions touched, summed over the batches of 10000 records
        (one touched in two batches counts twice)."""

    @property
    def elapsed_ms(self) -> int:
        """Milliseconds of a file ingest's counting and flush; 0 for
        `ingest_records`."""

    def __repr__(self) -> str:
        """The text IngestReport(processed={}, skipped={},
        distributions_updated={}, elapsed_ms={})."""

@final
class DatabaseStats:
    """Counts of what a database holds. Text form:
    "DatabaseStats(distributions={}, total_samples={}, variables={},
    dimensions={})"."""

    @property
    def distributions(self) -> int:
        """Stored distributions (joint distributions not counted)."""

    @property
    def total_samples(self) -> int:
        """The sum of their sample counts."""

    @property
    def variables(self) -> int:
        """Variables in the schema."""

    @property
    def dimensions(self) -> int:
        """Dimensions in the schema."""

    def __repr__(self) -> str:
        """The text DatabaseStats(distributions={}, total_samples={},
        variables={}, dimensions={})."""

class QuorError(Exception):
    """Every failure of the engine; its only argument is the message, outer
    context first, each context followed by ": " and its cause (as in "read
    file /db/meta.edb: ...")."""
