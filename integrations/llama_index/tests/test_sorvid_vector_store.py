import asyncio
import math
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import sample_nodes, text_node
from llama_index.core.vector_stores.types import (
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)
from llama_index.vector_stores.sorvid import SorvidVectorStore

ALL = {"a1", "a2", "b1", "c1"}


def query(store, embedding=(1.0, 1.0, 1.0), top_k=10, **kwargs):
    return store.query(VectorStoreQuery(query_embedding=list(embedding), similarity_top_k=top_k, **kwargs))


def f(key, value, op=FilterOperator.EQ):
    return MetadataFilter(key=key, value=value, operator=op)


def ids_of(nodes):
    return {node.node_id for node in nodes}


def test_query_returns_nearest_nodes_rebuilt_with_similarities(filled):
    result = query(filled, [2.0, 0.0, 0.0], top_k=2)
    assert result.ids == ["a1", "a2"]
    distances = [d for _, d in filled.client.run(lambda s: s.search([2.0, 0.0, 0.0], 2))]
    assert result.similarities == [1.0 - d / 2.0 for d in distances]
    assert result.similarities == pytest.approx([1.0, (1.0 + 1.0 / math.sqrt(1.25)) / 2.0], rel=1e-6)
    node = result.nodes[0]
    assert (node.node_id, node.text, node.ref_doc_id) == ("a1", "text of a1", "doc-a")
    assert node.metadata == {"author": "Stephen King", "year": 1977, "tags": ["x", "y"]}


@pytest.mark.parametrize("top_k", [1, 3, 4, 50])
def test_similarity_top_k_is_honoured_with_and_without_restrictions(filled, top_k):
    assert len(query(filled, top_k=top_k).ids) == min(top_k, 4)
    assert len(query(filled, top_k=top_k, node_ids=["a1", "a2", "b1"]).ids) == min(top_k, 3)


FILTER_CASES = [
    ([f("author", "Stephen King")], None, {"a1", "a2"}),
    ([f("author", "Stephen King", FilterOperator.NE)], None, {"b1", "c1"}),  # a missing key passes NE
    ([f("year", 1900, FilterOperator.GT)], None, {"a1", "a2", "c1"}),
    ([f("year", 1968, FilterOperator.GTE)], None, {"a1", "a2", "c1"}),
    ([f("year", 1968, FilterOperator.LT)], None, {"b1"}),
    ([f("year", 1968, FilterOperator.LTE)], None, {"b1", "c1"}),
    ([f("year", "1900", FilterOperator.GT)], None, set()),  # a string does not compare with numbers
    ([f("author", ["Mark Twain", "Anne Rice"], FilterOperator.IN)], None, {"b1"}),
    ([f("author", ["Mark Twain"], FilterOperator.NIN)], None, {"a1", "a2", "c1"}),
    ([f("tags", "x", FilterOperator.CONTAINS)], None, {"a1"}),
    ([f("tags", ["x", "z"], FilterOperator.ANY)], None, {"a1"}),
    ([f("tags", ["y"], FilterOperator.ALL)], None, {"a1", "a2"}),
    ([f("author", "king", FilterOperator.TEXT_MATCH_INSENSITIVE)], None, {"a1", "a2"}),
    ([f("director", None, FilterOperator.IS_EMPTY)], None, {"a1", "a2", "b1"}),
    ([f("author", "Stephen King"), f("year", 1980, FilterOperator.GT)], FilterCondition.AND, {"a2"}),
    ([f("author", "Mark Twain"), f("director", "Stanley Kubrick")], FilterCondition.OR, {"b1", "c1"}),
    ([f("author", "Stephen King")], FilterCondition.NOT, {"b1", "c1"}),
    (
        [
            f("year", 1980, FilterOperator.LT),
            MetadataFilters(filters=[f("author", "Stephen King"), f("author", "Mark Twain")], condition="or"),
        ],
        FilterCondition.AND,
        {"a1", "b1"},
    ),
    ([], FilterCondition.OR, ALL),
]


@pytest.mark.parametrize(("filters", "condition", "expected"), FILTER_CASES)
def test_filters_select_the_same_nodes_in_query_and_get_nodes(filled, filters, condition, expected):
    metadata_filters = MetadataFilters(filters=filters, condition=condition)
    assert set(query(filled, filters=metadata_filters).ids) == expected
    assert ids_of(filled.get_nodes(filters=metadata_filters)) == expected


@pytest.mark.parametrize(
    ("node_ids", "doc_ids", "filters", "expected"),
    [
        (["a1", "b1", "gone"], None, None, {"a1", "b1"}),
        (None, ["doc-a", "doc-x"], None, {"a1", "a2"}),
        (["a1", "b1"], ["doc-a"], None, {"a1"}),
        (None, ["doc-a", "doc-b"], [f("year", 1980, FilterOperator.LT)], {"a1", "b1"}),
        ([], [], None, ALL),  # as VectorStoreIndex's retriever asks: no restriction
    ],
)
def test_query_is_restricted_by_node_ids_doc_ids_and_filters(filled, node_ids, doc_ids, filters, expected):
    metadata_filters = None if filters is None else MetadataFilters(filters=filters)
    result = query(filled, node_ids=node_ids, doc_ids=doc_ids, filters=metadata_filters)
    assert set(result.ids) == expected


def test_delete_by_ref_doc_follows_nodes_moved_between_docs(filled):
    filled.delete("doc-none")  # reads the catalog before the next writes
    filled.add([text_node("a2", [1.0, 0.5, 0.0], {}, "doc-b"), text_node("d1", [0.5, 0.5, 0.5], {}, "doc-d")])
    filled.delete("doc-a")
    assert ids_of(filled.get_nodes()) == {"a2", "b1", "c1", "d1"}
    filled.delete("doc-b")
    assert query(filled, doc_ids=["doc-b"]).ids == []
    assert ids_of(filled.get_nodes()) == {"c1", "d1"}


@pytest.mark.parametrize("compact", [False, True], ids=["from-log", "from-snapshot"])
def test_delete_by_ref_doc_after_reopening(paths, compact):
    with SorvidVectorStore(*paths) as store:
        store.add(sample_nodes())
        if compact:
            store.client.run(lambda s: s.compact())
        saved = store.to_dict()
    with SorvidVectorStore.from_dict(saved) as reopened:
        reopened.delete("doc-a")
        assert ids_of(reopened.get_nodes()) == {"b1", "c1"}
    with SorvidVectorStore(*paths) as again:
        assert query(again, filters=MetadataFilters(filters=[f("year", 1900, FilterOperator.GT)])).ids == ["c1"]


def test_get_nodes_keeps_order_and_embeddings(filled):
    nodes = filled.get_nodes(node_ids=["c1", "gone", "a2"])
    assert [(node.node_id, node.embedding) for node in nodes] == [("c1", [0.0, 0.0, 1.0]), ("a2", [1.0, 0.5, 0.0])]
    assert [node.node_id for node in filled.get_nodes()] == ["a1", "a2", "b1", "c1"]
    by_king = MetadataFilters(filters=[f("author", "Stephen King")])
    assert [node.node_id for node in filled.get_nodes(node_ids=["b1", "a2"], filters=by_king)] == ["a2"]


@pytest.mark.parametrize(
    ("node_ids", "filters", "left"),
    [
        (["a1", "b1", "gone"], None, {"a2", "c1"}),
        (None, [f("author", "Stephen King")], {"b1", "c1"}),
        (["a1", "b1"], [f("author", "Stephen King")], {"a2", "b1", "c1"}),
        (None, None, set()),
        ("clear", None, set()),
    ],
)
def test_delete_nodes_and_clear_then_add_again(filled, node_ids, filters, left):
    if node_ids == "clear":
        filled.clear()
    else:
        filled.delete_nodes(node_ids=node_ids, filters=None if filters is None else MetadataFilters(filters=filters))
    assert ids_of(filled.get_nodes()) == left
    assert set(query(filled).ids) == left
    filled.add([text_node("a1", [1.0, 0.0, 0.0], {"year": 1977}, "doc-a")])
    assert query(filled, filters=MetadataFilters(filters=[f("year", 1977)])).ids == ["a1"]
    assert ids_of(filled.get_nodes()) == left | {"a1"}


def test_async_methods_from_concurrent_tasks(vector_store):
    async def scenario():
        await asyncio.gather(*(vector_store.async_add([node]) for node in sample_nodes()))
        results = await asyncio.gather(*(vector_store.aquery(VectorStoreQuery([1.0, 0.0, 0.0], 1)) for _ in range(8)))
        assert {tuple(result.ids) for result in results} == {("a1",)}
        await vector_store.adelete("doc-a")
        await vector_store.adelete_nodes(node_ids=["b1"])
        assert ids_of(await vector_store.aget_nodes()) == {"c1"}
        await vector_store.aclear()
        assert await vector_store.aget_nodes() == []

    asyncio.run(scenario())


def test_any_thread_may_use_the_store(vector_store):
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda node: vector_store.add([node]), sample_nodes()))
        results = list(pool.map(lambda _: query(vector_store, [0.0, 1.0, 0.0], top_k=1).ids, range(8)))
    assert results == [["b1"]] * 8


@pytest.mark.parametrize(("count", "compacted"), [(10, False), (1000, True)])
def test_persist_syncs_a_short_log_and_compacts_a_long_one(vector_store, count, compacted):
    vector_store.add([text_node(f"n{i}", [1.0, float(i)], {}) for i in range(count)])
    vector_store.persist("ignored")
    assert vector_store.client.run(lambda s: s.wal_pending) == (0 if compacted else count)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda s: s.add([text_node("x", None, {})]), ValueError),
        (lambda s: s.query(VectorStoreQuery(query_embedding=None)), ValueError),
        (lambda s: s.query(VectorStoreQuery([1.0, 0.0, 0.0], mode=VectorStoreQueryMode.MMR)), NotImplementedError),
        (lambda s: s.query(VectorStoreQuery([1.0, 0.0])), ValueError),  # wrong dimension, from the store
    ],
)
def test_bad_calls_raise(filled, call, error):
    with pytest.raises(error):
        call(filled)


def test_flat_metadata_refuses_nested_values(paths):
    with SorvidVectorStore(*paths, flat_metadata=True) as store, pytest.raises(ValueError):
        store.add([text_node("n", [1.0], {"nested": {"a": 1}})])
