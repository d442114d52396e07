"""filtration: the intersection of its children, or every signal with select_all."""
