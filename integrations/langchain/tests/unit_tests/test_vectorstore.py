"""SorvidVectorStore beyond the standard suite: filters, MMR, relevance, threads, asyncio, reopening."""

import asyncio
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from langchain_core.documents import Document
from langchain_sorvid import SorvidVectorStore

from sorvid_vector_db import VectorEntry

COLORS = ["red", "green", "blue", "gold", "gray"]
TEXTS = [f"doc {i}" for i in range(60)]
METAS = [{"color": COLORS[i % 5], "n": i} for i in range(60)]


@pytest.fixture
def filled(vs):
    vs.add_texts(TEXTS, METAS, ids=[f"d{i}" for i in range(60)])
    return vs


def exact_nearest(vs, query, k, keep):
    """Ids of the k nearest documents passing keep, by exact cosine distance."""
    q = np.array(vs.embeddings.embed_query(query))
    rows = [i for i in range(60) if keep(METAS[i])]
    if not rows:
        return []
    vectors = np.array(vs.embeddings.embed_documents([TEXTS[i] for i in rows]))
    distance = 1 - vectors @ q / (np.linalg.norm(vectors, axis=1) * np.linalg.norm(q))
    return [f"d{rows[j]}" for j in np.argsort(distance, kind="stable")[:k]]


@pytest.mark.parametrize(
    ("spec", "keep"),
    [
        ({"color": "red"}, lambda m: m["color"] == "red"),
        (
            {"color": {"$in": ["blue", "gold"]}, "n": {"$in": list(range(0, 60, 2))}},
            lambda m: m["color"] in ("blue", "gold") and m["n"] % 2 == 0,
        ),
        (lambda m: m["n"] % 7 == 3, lambda m: m["n"] % 7 == 3),
        ({"color": "violet"}, lambda m: False),
    ],
)
@pytest.mark.parametrize("k", [3, 20])  # 20 is more than some filters let through: all of those come back
def test_filtered_search_gives_the_nearest_matches(filled, spec, keep, k):
    expected = exact_nearest(filled, "doc 17", k, keep)
    found = filled.similarity_search("doc 17", k=k, filter=spec)
    assert [d.id for d in found] == expected
    assert len(found) == min(k, sum(map(keep, METAS)))
    found_async = asyncio.run(filled.asimilarity_search("doc 17", k=k, filter=spec))
    assert [d.id for d in found_async] == expected


def test_relevance_scores_lie_in_0_1_and_follow_distance(filled):
    scored = filled.similarity_search_with_relevance_scores("doc 5", k=60)
    distances = filled.similarity_search_with_score("doc 5", k=60)
    assert [d.id for d, _ in scored][0] == "d5" and scored[0][1] == pytest.approx(1.0)
    assert [r for _, r in scored] == pytest.approx([1 - d / 2 for _, d in distances])
    assert all(0.0 <= r <= 1.0 for _, r in scored) and min(r for _, r in scored) < 0.5  # some point away
    assert filled.similarity_search_with_relevance_scores("doc 5", k=60, score_threshold=0.5) == [
        (d, r) for d, r in scored if r >= 0.5
    ]


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_mmr_prefers_variety(vs, mode):
    metas = [{"apple": True}] * 3 + [{"apple": False}] * 2
    vs.add_texts(["apple"] * 3 + ["pear", "plum"], metas, ids=["a1", "a2", "a3", "pear", "plum"])
    nearest = vs.similarity_search("apple", k=2)
    assert {d.id for d in nearest} <= {"a1", "a2", "a3"}
    if mode == "sync":
        picked = vs.max_marginal_relevance_search("apple", k=2, fetch_k=5, lambda_mult=0.25)
        others = vs.max_marginal_relevance_search("apple", k=2, filter={"apple": False})
    else:
        picked = asyncio.run(vs.amax_marginal_relevance_search("apple", k=2, fetch_k=5, lambda_mult=0.25))
        others = asyncio.run(vs.amax_marginal_relevance_search("apple", k=2, filter={"apple": False}))
    assert picked[0].id in {"a1", "a2", "a3"} and picked[1].id in {"pear", "plum"}
    assert {d.id for d in others} == {"pear", "plum"}


def test_retriever_batch_from_a_thread_pool(filled):
    retriever = filled.as_retriever(search_kwargs={"k": 3, "filter": {"color": "green"}})
    queries = [f"doc {i}" for i in range(40)]
    expected = [[d.id for d in filled.similarity_search(q, k=3, filter={"color": "green"})] for q in queries]
    with ThreadPoolExecutor(max_workers=8) as pool:
        chunks = list(
            pool.map(lambda i: retriever.batch(queries[i : i + 10], {"max_concurrency": 4}), range(0, 40, 10))
        )
    assert [[d.id for d in docs] for chunk in chunks for docs in chunk] == expected


def test_async_calls_interleave(vs):
    async def main():
        await asyncio.gather(*(vs.aadd_texts([f"t{i}"], [{"i": i}], ids=[f"t{i}"]) for i in range(30)))
        found = await asyncio.gather(*(vs.asimilarity_search(f"t{i}", k=1) for i in range(30)))
        await vs.adelete([f"t{i}" for i in range(10)])
        return found, await vs.aget_by_ids([f"t{i}" for i in range(30)])

    found, kept = asyncio.run(main())
    assert [docs[0].id for docs in found] == [f"t{i}" for i in range(30)]
    assert [d.id for d in kept] == [f"t{i}" for i in range(10, 30)]


def test_reopening_gives_the_documents_back(vs, paths):
    ids = vs.add_texts(["alpha", "beta"], [{"k": [1, {"x": "é"}]}, {}])
    vs.add_documents([Document("gamma", id="g")])
    vs.store.run(lambda s: s.upsert(VectorEntry("raw", vs.embeddings.embed_query("raw"), "plain text")))
    expected = vs.get_by_ids([*ids, "g", "raw"])
    vs.close()
    with SorvidVectorStore(vs.embeddings, *paths) as again:
        assert again.get_by_ids([*ids, "g", "raw"]) == expected
        assert [d.page_content for d in expected] == ["alpha", "beta", "gamma", "plain text"]
        assert expected[0].metadata == {"k": [1, {"x": "é"}]} and expected[0].id == ids[0]
        assert again.similarity_search("beta", k=1)[0].id == ids[1]
        again.delete()  # None: every document
        assert again.similarity_search("beta", k=4) == []
    with SorvidVectorStore(vs.embeddings, *paths) as emptied:
        assert emptied.get_by_ids([*ids, "g", "raw"]) == []


def test_from_texts_and_bad_arguments(paths, vs):
    made = SorvidVectorStore.from_texts(["x", "y"], vs.embeddings, [{"a": 1}, {"a": 2}], ids=["x", "y"], store=vs.store)
    assert [d.metadata for d in made.get_by_ids(["y", "x"])] == [{"a": 2}, {"a": 1}]
    with pytest.raises(ValueError, match="metadatas"):
        vs.add_texts(["a", "b"], [{}])
    with pytest.raises(ValueError, match="either"):
        SorvidVectorStore(vs.embeddings)


def test_filters_see_writes_from_other_vector_stores_and_straight_through_the_store(filled):
    assert [d.id for d in filled.similarity_search("doc 1", k=5, filter={"color": "pink"})] == []
    other = SorvidVectorStore(filled.embeddings, store=filled.store)
    other.add_texts(["pink one"], [{"color": "pink"}], ids=["p1"])
    entry = VectorEntry(
        "p2", filled.embeddings.embed_query("pink two"), '{"page_content": "pink two", "metadata": {"color": "pink"}}'
    )
    filled.store.run(lambda s: s.upsert(entry))
    assert sorted(d.id for d in filled.similarity_search("doc 1", k=5, filter={"color": "pink"})) == ["p1", "p2"]
    filled.store.run(lambda s: s.delete("p2"))
    other.delete(["p1"])
    assert filled.similarity_search("doc 1", k=5, filter={"color": "pink"}) == []
