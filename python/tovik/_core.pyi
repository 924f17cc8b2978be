from collections.abc import Sequence
from typing import Never, Self, TypeVar, final, type_check_only

__all__ = [
    "parse_sql",
    "compile_model",
    "resolve_model",
    "wrap_ddl",
    "find_macro_calls",
    "build_dag",
    "validate_dag",
    "topo_sort",
    "dag_edges",
    "build_pipeline",
    "batch_resolve",
    "batch_wrap_ddl",
    "select_models",
    "ParsedSQL",
    "CompiledModel",
    "ResolvedModel",
    "MacroCall",
    "SourceInfo",
    "ParsedModel",
    "EphemeralModel",
    "DagHandle",
    "ValidationError",
]

# What the module takes, where typing cannot say it exactly:
# - Maps are dict instances only (subclasses included, no other Mapping), so
#   the parameters say dict.
# - A Sequence[str] parameter, and a tag map's values, refuse a str with
#   TypeError: a str is never taken as a sequence of characters. Typing has no
#   "any sequence but str", so a type checker lets a str through there
#   (build_pipeline(models, "shop") type-checks and raises; write ["shop"]).
# - A "..." default means an empty dict, or for ParsedModel.tags an empty
#   list; None is refused there.

# A tag map's values may be lists or tuples of tags; the type variable spares
# callers dict's invariance, so that a dict of 1-tuples type-checks as well.
_Tags = TypeVar("_Tags", bound=Sequence[str])

# Records. Every attribute is read-only and each read returns a fresh object.

@final
class SourceInfo:
    def __new__(cls, database: str, schema: str) -> Self: ...
    @property
    def database(self) -> str: ...
    @property
    def schema(self) -> str: ...

@final
class ParsedModel:
    def __new__(
        cls,
        name: str,
        refs: Sequence[str],
        sources: Sequence[tuple[str, str]],
        tags: Sequence[str] = ...,
        materialization: str | None = None,
    ) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def refs(self) -> list[str]: ...
    @property
    def sources(self) -> list[tuple[str, str]]: ...
    @property
    def tags(self) -> list[str]: ...
    @property
    def materialization(self) -> str | None: ...

@final
class EphemeralModel:
    def __new__(cls, name: str, compiled_body: str, deps: Sequence[str]) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def compiled_body(self) -> str: ...
    @property
    def deps(self) -> list[str]: ...

# The six classes below are built by the module only: calling one raises
# TypeError ("No constructor defined for ..."). Their __new__ asks for an
# argument that no value can fill, so that a type checker rejects every call.

@final
class ParsedSQL:
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...
    @property
    def refs(self) -> list[str]: ...
    @property
    def sources(self) -> list[tuple[str, str]]: ...
    @property
    def variables(self) -> list[str]: ...
    @property
    def body(self) -> str: ...
    @property
    def front_matter(self) -> dict[str, str] | None: ...

@final
class ResolvedModel:
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def resolved_sql(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def materialization(self) -> str: ...
    @property
    def refs(self) -> list[str]: ...
    @property
    def sources(self) -> list[tuple[str, str]]: ...
    @property
    def macros(self) -> list[str]: ...
    @property
    def description(self) -> str | None: ...
    @property
    def tags(self) -> list[str]: ...
    @property
    def enabled(self) -> bool: ...
    @property
    def unique_key(self) -> str | None: ...

@final
class CompiledModel:
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def compiled_sql(self) -> str: ...
    @property
    def ddl(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def materialization(self) -> str: ...
    @property
    def refs(self) -> list[str]: ...
    @property
    def sources(self) -> list[tuple[str, str]]: ...
    @property
    def description(self) -> str | None: ...
    @property
    def tags(self) -> list[str]: ...
    @property
    def enabled(self) -> bool: ...

@final
class ValidationError:
    # A finding returned as data; it is not an exception.
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...
    @property
    def model(self) -> str: ...
    @property
    def error_type(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def suggestion(self) -> str | None: ...

@final
class MacroCall:
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def args(self) -> list[str]: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...

@final
class DagHandle:
    def __new__(cls, *args: Never, no_constructor: Never, **kwargs: Never) -> Self: ...

# An internal fault is raised as this type, whose runtime name is
# pyo3_runtime.PanicException. The module does not export it, so it can only
# be caught as BaseException (it is not an Exception); it is declared here so
# that annotations can name it.
@type_check_only
class PanicException(BaseException): ...

# Compiling.

def parse_sql(raw_sql: str) -> ParsedSQL: ...
def compile_model(
    raw_sql: str,
    model_name: str,
    schema: str,
    materialization: str,
    vars: dict[str, str],
    sources: dict[str, SourceInfo],
    ephemerals: dict[str, EphemeralModel] = ...,
) -> CompiledModel: ...
def resolve_model(
    raw_sql: str,
    model_name: str,
    schema: str,
    materialization: str,
    vars: dict[str, str],
    sources: dict[str, SourceInfo],
    ephemerals: dict[str, EphemeralModel] = ...,
) -> ResolvedModel: ...
def wrap_ddl(resolved: ResolvedModel, resolved_sql: str | None = None) -> CompiledModel: ...
def find_macro_calls(sql: str, known_functions: Sequence[str]) -> list[MacroCall]: ...
def batch_resolve(
    raw_models: Sequence[tuple[str, str]],
    schema: str,
    materialization: str,
    vars: dict[str, str],
    sources: dict[str, SourceInfo],
    ephemerals: dict[str, EphemeralModel] = ...,
) -> list[ResolvedModel]: ...
def batch_wrap_ddl(models: Sequence[ResolvedModel]) -> list[CompiledModel]: ...

# Planning.

def build_dag(models: Sequence[ParsedModel]) -> DagHandle: ...
def validate_dag(
    dag: DagHandle, models: Sequence[ParsedModel], available_sources: Sequence[str]
) -> list[ValidationError]: ...
def topo_sort(dag: DagHandle) -> list[list[str]]: ...
def dag_edges(dag: DagHandle) -> list[tuple[str, str]]: ...
def select_models(dag: DagHandle, pattern: str, tags_map: dict[str, _Tags] = ...) -> list[str]: ...
def build_pipeline(
    raw_models: Sequence[tuple[str, str]],
    available_sources: Sequence[str],
    select: str | None = None,
) -> tuple[DagHandle, list[list[str]], list[ParsedModel], list[ValidationError]]: ...
