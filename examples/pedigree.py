"""A small deterministic pedigree: three generations of families, some linked by marriage.

Each founding couple has two to four children; every child marries a spouse from outside
the pedigree, except that every third family's first child marries the last child of the
family before it, which joins the two families into one pedigree. Each couple of the second
generation has one to three children. With 40 founding couples that is 542 people.
"""


def three_generations(founding_couples=40):
    """Parallel lists (ids, fathers, mothers); parents are None for founders and spouses."""
    ids, fathers, mothers = [], [], []

    def add(person, father=None, mother=None):
        ids.append(person)
        fathers.append(father)
        mothers.append(mother)
        return person

    previous_last_child = None
    for family in range(founding_couples):
        tag = f"F{family:02d}"
        grandfather = add(f"{tag}-gf")
        grandmother = add(f"{tag}-gm")
        children = [add(f"{tag}-c{c}", grandfather, grandmother) for c in range(2 + family % 3)]
        for c, child in enumerate(children):
            if c == 0 and family % 3 == 1 and previous_last_child is not None:
                spouse = previous_last_child  # two families joined by this marriage
            else:
                spouse = add(f"{tag}-s{c}")
            # Alternate the roles so that both sexes appear among the children.
            father, mother = (child, spouse) if c % 2 == 0 else (spouse, child)
            for g in range(1 + (family + c) % 3):
                add(f"{tag}-c{c}-g{g}", father, mother)
        previous_last_child = children[-1]
    return ids, fathers, mothers
