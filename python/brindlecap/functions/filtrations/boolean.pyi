"""and_, or_, not_: combinators of their children's results."""
