"""The market's rules that every room of the kit shares: the trading calendar and the sessions."""
